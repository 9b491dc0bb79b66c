// What the application does to its spool before PAPPL loads the state.
//
// PAPPL keeps each job's attributes in the spool (pNNNNNjNNNNNNNNN-name.ipp)
// until the job ends. The file holds the job-id, job-uri, job-printer-uri,
// job-name, job-uuid and job-originating-user-name PAPPL gave the job, and
// PAPPL gives a job loaded from the state file these again before it adds
// the file's attributes. A job that was not finished when the server
// stopped (killed during the job) then has each of them twice, and Get-Jobs
// answers with both. The spool's job files lose them before the state is
// loaded.
#pragma once

#include <pappl/pappl.h>

#include <string>

namespace tavel {

// Removes the attributes PAPPL adds again on loading from the job files in
// `spool`; the number of files changed. `system` gets a log line for each.
int CleanJobFiles(const std::string& spool, pappl_system_t* system);

}  // namespace tavel
