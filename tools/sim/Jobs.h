// What the virtual printer keeps of its work, in its output folder: each
// job's bytes (job-J.prn), its pages as PNGs (job-J-K.png), the decoder's
// explanation (job-J.txt), a line per job in jobs.log and a line per
// query in queries.log. The pages come from the project's decoder, the
// same reading of the printer languages that tavelpress-decode gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct Language;  // tools/decode/Languages.h

namespace sim {

class Recorder {
 public:
  Recorder(const std::string& dir, const Language& lang, unsigned dpi)
      : dir_(dir), lang_(lang), dpi_(dpi) {}

  // Removes what an earlier run left in the folder (jobs, logs, state,
  // ready), so that job numbers start at 1 again.
  void Clear() const;
  // Records a finished job; returns its number of pages. The line added
  // to jobs.log is given back in line.
  size_t Finish(const std::vector<uint8_t>& bytes, std::string& line);
  // The pages complete in the bytes a job has sent so far.
  size_t CountPages(const std::vector<uint8_t>& bytes) const;
  // One line of queries.log.
  void Query(const std::string& name, const std::string& answer) const;
  int Jobs() const { return jobs_; }

 private:
  void Append(const char* file, const std::string& line) const;

  std::string dir_;
  const Language& lang_;
  unsigned dpi_;
  int jobs_ = 0;
};

}  // namespace sim
