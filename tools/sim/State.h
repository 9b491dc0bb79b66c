// The virtual printer's state: paper, cover, head and the other conditions
// its status answers report, and the knobs that make it misbehave (silent,
// late, wrong, slow, hanging up). Kept as KEY=VALUE lines in DIR/state,
// which `tavelpress-sim set` rewrites atomically and the running sim reads
// back; both go through the one parser here, so a value the sim would
// refuse is refused by `set` before anything changes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

enum class Paper { kOk, kLow, kOut };
enum class Answer { kYes, kNo, kWrong };

struct State {
  Paper paper = Paper::kOk;
  int64_t paperAfter = -1;  // pages still to print before paper=out; -1 off
  bool coverOpen = false, headOpen = false, jam = false, ribbonOut = false;
  bool paused = false, overheated = false;
  int64_t battery = 80;  // percent
  Answer answer = Answer::kYes;
  int64_t delayMs = 0;
  int64_t closeAfter = 0;  // bytes; 0 off
  int64_t rate = 0;        // bytes a second; 0 unlimited

  // Sets one key from its text; false with a message for an unknown key or
  // a bad value (the state is then unchanged).
  bool Set(const std::string& key, const std::string& value, std::string& err);
  // Applies "KEY=VALUE" items in order; all or nothing.
  bool Apply(const std::vector<std::string>& items, std::string& err);
  // The KEY=VALUE lines of every key (paper-after only when armed).
  std::string Text() const;
};

// Parses the text of a state file (lines KEY=VALUE; blank lines and lines
// starting with # are skipped) over the defaults.
bool ParseState(const std::string& text, State& out, std::string& err);

// The state file of a sim's folder and its lock, which `set` and the sim
// hold while they read-modify-write it.
std::string StatePath(const std::string& dir);

// Reads a whole (small) file; false when it cannot be read or is larger
// than limit.
bool ReadFile(const std::string& path, std::string& out, size_t limit = 1 << 16);
// Writes path atomically: a temporary file beside it, then a rename.
bool WriteAtomic(const std::string& path, const std::string& text, std::string& err);

// Changes keys of the state in dir under the lock: the `set` command, and
// the sim itself when paper-after runs out or close-after fires.
bool UpdateState(const std::string& dir, const std::vector<std::string>& items, std::string& err);

}  // namespace sim
