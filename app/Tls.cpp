#include "app/Tls.h"

#include <cstring>
#include <vector>

namespace tavel {
namespace {

std::string& Folder() {
  static std::string folder;
  return folder;
}

}  // namespace

bool LoopbackOnly(const char* host) {
  return !std::strcmp(host, "localhost") || !std::strcmp(host, "127.0.0.1") ||
         !std::strcmp(host, "::1");
}

void SetCertificateFolder(const std::string& folder) { Folder() = folder; }

const std::string& CertificateFolder() { return Folder(); }

void MatchUriSecurity(ipp_t* response) {
  struct Group {
    ipp_attribute_t* uris = nullptr;
    ipp_attribute_t* security = nullptr;
  };
  // Printers are told apart by the separators (attributes with no name).
  std::vector<Group> groups(1);
  for (ipp_attribute_t* a = ippFirstAttribute(response); a; a = ippNextAttribute(response)) {
    const char* name = ippGetName(a);
    if (!name) {
      groups.emplace_back();
    } else if (ippGetGroupTag(a) == IPP_TAG_PRINTER) {
      if (!std::strcmp(name, "printer-uri-supported")) groups.back().uris = a;
      if (!std::strcmp(name, "uri-security-supported")) groups.back().security = a;
    }
  }
  for (Group& g : groups) {
    if (!g.uris || !g.security) continue;
    const int count = ippGetCount(g.uris);
    // The extra values go from the front: libcups 2.4 refuses to delete
    // an attribute's last values.
    const int extra = ippGetCount(g.security) - count;
    if (count > 0 && extra > 0) ippDeleteValues(response, &g.security, 0, extra);
    for (int i = 0; i < count; ++i) {
      const char* uri = ippGetString(g.uris, i, nullptr);
      const bool secure = uri && !std::strncmp(uri, "ipps:", 5);
      ippSetString(response, &g.security, i, secure ? "tls" : "none");
    }
  }
}

}  // namespace tavel
