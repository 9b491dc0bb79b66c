#include "support/PpdWriter.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

std::string PpdText(int modelNumber, const std::vector<PpdOption>& options,
                    const std::string& extraLines) {
  std::string t =
      "*PPD-Adobe: \"4.3\"\n"
      "*FormatVersion: \"4.3\"\n"
      "*FileVersion: \"1.0\"\n"
      "*LanguageVersion: English\n"
      "*LanguageEncoding: ISOLatin1\n"
      "*PCFileName: \"TEST.PPD\"\n"
      "*Manufacturer: \"Test\"\n"
      "*Product: \"(Test Printer)\"\n"
      "*ModelName: \"Test Printer\"\n"
      "*ShortNickName: \"Test Printer\"\n"
      "*NickName: \"Test Printer\"\n"
      "*PSVersion: \"(3010.000) 0\"\n"
      "*LanguageLevel: \"3\"\n"
      "*ColorDevice: False\n"
      "*DefaultColorSpace: Gray\n"
      "*FileSystem: False\n"
      "*Throughput: \"1\"\n"
      "*TTRasterizer: Type42\n"
      "*cupsVersion: 2.4\n"
      "*cupsModelNumber: " +
      std::to_string(modelNumber) +
      "\n"
      "*cupsFilter: \"application/vnd.cups-raster 0 rastertotavelpress\"\n"
      "*OpenUI *PageSize/Media Size: PickOne\n"
      "*OrderDependency: 10 AnySetup *PageSize\n"
      "*DefaultPageSize: w144h144\n"
      "*PageSize w144h144/2x2in: \"<</PageSize[144 144]>>setpagedevice\"\n"
      "*CloseUI: *PageSize\n"
      "*OpenUI *PageRegion: PickOne\n"
      "*OrderDependency: 10 AnySetup *PageRegion\n"
      "*DefaultPageRegion: w144h144\n"
      "*PageRegion w144h144/2x2in: \"<</PageSize[144 144]>>setpagedevice\"\n"
      "*CloseUI: *PageRegion\n"
      "*DefaultImageableArea: w144h144\n"
      "*ImageableArea w144h144: \"0 0 144 144\"\n"
      "*DefaultPaperDimension: w144h144\n"
      "*PaperDimension w144h144: \"144 144\"\n";
  for (const PpdOption& o : options) {
    t += "*OpenUI *" + o.keyword + "/" + o.keyword + ": PickOne\n";
    t += "*OrderDependency: 20 AnySetup *" + o.keyword + "\n";
    t += "*Default" + o.keyword + ": " + o.defaultChoice + "\n";
    for (const std::string& c : o.choices)
      t += "*" + o.keyword + " " + c + "/" + c + ": \"\"\n";
    t += "*CloseUI: *" + o.keyword + "\n";
  }
  t += extraLines;
  return t;
}

std::string MakeTempDir() {
  char tmpl[] = "/tmp/tavelpress-test-XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  return tmpl;
}

std::string WriteTempFile(const std::string& name, const std::string& text) {
  return WriteTempFile(name, std::vector<unsigned char>(text.begin(), text.end()));
}

std::string WriteTempFile(const std::string& name, const std::vector<unsigned char>& bytes) {
  std::string path = MakeTempDir() + "/" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) throw std::runtime_error("cannot write " + path);
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  return path;
}
