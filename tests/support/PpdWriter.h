// Small PPD files for tests, parsed by libcups like the scheduler's.
#pragma once

#include <string>
#include <vector>

struct PpdOption {
  std::string keyword;
  std::string defaultChoice;
  std::vector<std::string> choices;
};

// The text of a PPD for the model number with the given options and extra
// lines (attributes such as *DensityCommand: "1").
std::string PpdText(int modelNumber, const std::vector<PpdOption>& options = {},
                    const std::string& extraLines = "");

// Writes the text to a new file in a temporary folder; returns its path.
std::string WriteTempFile(const std::string& name, const std::string& text);
std::string WriteTempFile(const std::string& name, const std::vector<unsigned char>& bytes);

// A fresh private folder for the current test.
std::string MakeTempDir();
