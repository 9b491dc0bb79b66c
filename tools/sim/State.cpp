// The state's keys, each with its parser and its text, in one table so
// that reading, writing and the error messages cannot drift apart.
#include "State.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace sim {

namespace {

// Larger values are typing mistakes, not tests.
constexpr int64_t kMaxDelayMs = 600000;
constexpr int64_t kMaxCount = 1000000000;

bool Number(const std::string& text, int64_t lo, int64_t hi, int64_t& out) {
  if (text.empty() || text.size() > 10) return false;
  int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v < lo || v > hi) return false;
  out = v;
  return true;
}

// A key whose value is one of two words.
bool Flag(const std::string& value, const char* on, const char* off, bool& out) {
  if (value == on) return out = true, true;
  if (value == off) return out = false, true;
  return false;
}

const char* kPaperNames[] = {"ok", "low", "out"};
const char* kAnswerNames[] = {"yes", "no", "wrong"};

template <typename E>
bool Word(const std::string& value, const char* const (&names)[3], E& out) {
  for (int i = 0; i < 3; ++i)
    if (value == names[i]) return out = E(i), true;
  return false;
}

struct Key {
  const char* name;
  const char* values;  // for messages
  bool (*set)(State&, const std::string&);
  std::string (*get)(const State&);
};

// The keys whose value is one of two words, the word for true first.
const char* const kOpenClosed[] = {"open", "closed", "open or closed"};
const char* const kYesNo[] = {"yes", "no", "yes or no"};
const char* const kOutOk[] = {"out", "ok", "ok or out"};

template <bool State::*Member, const char* const* Words>
bool SetFlag(State& s, const std::string& v) {
  return Flag(v, Words[0], Words[1], s.*Member);
}
template <bool State::*Member, const char* const* Words>
std::string GetFlag(const State& s) {
  return s.*Member ? Words[0] : Words[1];
}
template <bool State::*Member, const char* const* Words>
Key FlagKey(const char* name) {
  return {name, Words[2], SetFlag<Member, Words>, GetFlag<Member, Words>};
}

const Key kKeys[] = {
    {"paper", "ok, low or out",
     [](State& s, const std::string& v) { return Word(v, kPaperNames, s.paper); },
     [](const State& s) { return std::string(kPaperNames[int(s.paper)]); }},
    {"paper-after", "a page count or none",
     [](State& s, const std::string& v) {
       if (v == "none") return s.paperAfter = -1, true;
       return Number(v, 0, kMaxCount, s.paperAfter);
     },
     [](const State& s) {
       return s.paperAfter < 0 ? std::string() : std::to_string(s.paperAfter);
     }},
    FlagKey<&State::coverOpen, kOpenClosed>("cover"),
    FlagKey<&State::headOpen, kOpenClosed>("head"),
    FlagKey<&State::jam, kYesNo>("jam"),
    FlagKey<&State::ribbonOut, kOutOk>("ribbon"),
    FlagKey<&State::paused, kYesNo>("paused"),
    FlagKey<&State::overheated, kYesNo>("overheated"),
    {"battery", "0 to 100",
     [](State& s, const std::string& v) { return Number(v, 0, 100, s.battery); },
     [](const State& s) { return std::to_string(s.battery); }},
    {"answer", "yes, no or wrong",
     [](State& s, const std::string& v) { return Word(v, kAnswerNames, s.answer); },
     [](const State& s) { return std::string(kAnswerNames[int(s.answer)]); }},
    {"delay-ms", "0 to 600000",
     [](State& s, const std::string& v) { return Number(v, 0, kMaxDelayMs, s.delayMs); },
     [](const State& s) { return std::to_string(s.delayMs); }},
    {"close-after", "a byte count (0 off)",
     [](State& s, const std::string& v) { return Number(v, 0, kMaxCount, s.closeAfter); },
     [](const State& s) { return std::to_string(s.closeAfter); }},
    {"rate", "bytes a second (0 unlimited)",
     [](State& s, const std::string& v) { return Number(v, 0, kMaxCount, s.rate); },
     [](const State& s) { return std::to_string(s.rate); }},
};

}  // namespace

bool State::Set(const std::string& key, const std::string& value, std::string& err) {
  for (const Key& k : kKeys) {
    if (key != k.name) continue;
    State copy = *this;
    if (k.set(copy, value)) {
      *this = copy;
      return true;
    }
    err = "bad value \"" + value + "\" for " + key + " (" + k.values + ")";
    return false;
  }
  err = "unknown key \"" + key + "\"";
  return false;
}

bool State::Apply(const std::vector<std::string>& items, std::string& err) {
  State next = *this;
  for (const std::string& item : items) {
    size_t eq = item.find('=');
    if (eq == std::string::npos) {
      err = "\"" + item + "\" is not KEY=VALUE";
      return false;
    }
    if (!next.Set(item.substr(0, eq), item.substr(eq + 1), err)) return false;
  }
  *this = next;
  return true;
}

std::string State::Text() const {
  std::string out;
  for (const Key& k : kKeys) {
    std::string v = k.get(*this);
    if (!v.empty()) out += std::string(k.name) + "=" + v + "\n";
  }
  return out;
}

bool ParseState(const std::string& text, State& out, std::string& err) {
  std::vector<std::string> items;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    items.push_back(line);
  }
  State s;
  if (!s.Apply(items, err)) return false;
  out = s;
  return true;
}

std::string StatePath(const std::string& dir) { return dir + "/state"; }

bool ReadFile(const std::string& path, std::string& out, size_t limit) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string text;
  char buf[4096];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    text.append(buf, size_t(in.gcount()));
    if (text.size() > limit) return false;
  }
  out = text;
  return true;
}

bool WriteAtomic(const std::string& path, const std::string& text, std::string& err) {
  const std::string temp = path + ".new." + std::to_string(getpid());
  FILE* f = std::fopen(temp.c_str(), "w");
  bool ok = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (f && std::fclose(f) != 0) ok = false;
  if (ok && std::rename(temp.c_str(), path.c_str()) == 0) return true;
  err = "cannot write " + path + ": " + std::strerror(errno);
  std::remove(temp.c_str());
  return false;
}

bool UpdateState(const std::string& dir, const std::vector<std::string>& items, std::string& err) {
  const std::string lockPath = dir + "/state.lock";
  if (access(StatePath(dir).c_str(), F_OK) != 0) {
    err = "no state in " + dir + " (is a tavelpress-sim running on it?)";
    return false;
  }
  int lock = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock < 0) {
    err = "cannot open " + lockPath + ": " + std::strerror(errno);
    return false;
  }
  flock(lock, LOCK_EX);
  std::string text;
  State s;
  bool ok = false;
  if (!ReadFile(StatePath(dir), text))
    err = "no state in " + dir + " (is a tavelpress-sim running on it?)";
  else if (!ParseState(text, s, err))
    err = StatePath(dir) + ": " + err;
  else if (s.Apply(items, err))
    ok = WriteAtomic(StatePath(dir), s.Text(), err);
  close(lock);  // releases the lock
  return ok;
}

}  // namespace sim
