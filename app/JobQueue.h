// The printer's job queue: PAPPL's job threads pass one at a time per
// printer, in job order (see JobQueue.cpp for why).
#pragma once

#include <pappl/pappl.h>

namespace tavel {

// Whether the queue stands in PAPPL's job thread entry point (false when
// this PAPPL has no such entry point: jobs then start as PAPPL starts them).
bool JobQueueInPlace();

}  // namespace tavel
