#include "filter/PpdOptionSource.h"

#include "render/PageError.h"

namespace {

const char* Text(const char* s) { return s ? s : ""; }

}  // namespace

bool CPpdOptionSource::Choice(const char* keyword, std::string* choice) {
  ppd_choice_t* marked = m_ppd ? ppdFindMarkedChoice(m_ppd, keyword) : nullptr;
  if (!marked) return false;
  ppd_option_t* option = marked->option;
  const std::string line = tavel::Format(
      "%s: marked=%d, choice: %s, text: %s, code: %s, \t\t\tconflicted=%d, keyword: %s, "
      "defchoice: %s, option->text: %s, option->num_choices: %d",
      keyword, marked->marked, Text(marked->choice), Text(marked->text), Text(marked->code),
      option ? option->conflicted : 0, option ? Text(option->keyword) : "",
      option ? Text(option->defchoice) : "", option ? Text(option->text) : "",
      option ? option->num_choices : 0);
  m_log.Log(LOG_DEBUG, line.c_str());
  *choice = marked->choice;
  return true;
}

bool CPpdOptionSource::Attribute(const char* name, std::string* value) {
  ppd_attr_t* attr = m_ppd ? ppdFindAttr(m_ppd, name, nullptr) : nullptr;
  if (!attr) return false;
  *value = Text(attr->value);
  return true;
}
