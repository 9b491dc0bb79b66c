#include "render/MapOptionSource.h"

#include <utility>


CMapOptionSource::CMapOptionSource(std::map<std::string, std::string> choices,
                                   std::map<std::string, std::string> attributes)
    : m_choices(std::move(choices)), m_attributes(std::move(attributes)) {}

void CMapOptionSource::SetChoice(const std::string& keyword, const std::string& choice) {
  m_choices[keyword] = choice;
}

void CMapOptionSource::SetAttribute(const std::string& name, const std::string& value) {
  m_attributes[name] = value;
}

bool CMapOptionSource::Choice(const char* keyword, std::string* choice) {
  auto it = m_choices.find(keyword);
  if (it == m_choices.end()) return false;
  *choice = it->second;
  return true;
}

bool CMapOptionSource::Attribute(const char* name, std::string* value) {
  auto it = m_attributes.find(name);
  if (it == m_attributes.end()) return false;
  *value = it->second;
  return true;
}
