// CMapOptionSource: job settings from a plain keyword -> choice map, for
// front ends that have no PPD (the printer application) and for tests.
#pragma once

#include <map>
#include <string>

#include "render/OptionSource.h"

class CMapOptionSource : public IOptionSource {
 public:
  CMapOptionSource() = default;
  CMapOptionSource(std::map<std::string, std::string> choices,
                   std::map<std::string, std::string> attributes = {});

  void SetChoice(const std::string& keyword, const std::string& choice);
  void SetAttribute(const std::string& name, const std::string& value);

  bool Choice(const char* keyword, std::string* choice) override;
  bool Attribute(const char* name, std::string* value) override;

 private:
  std::map<std::string, std::string> m_choices;
  std::map<std::string, std::string> m_attributes;
};
