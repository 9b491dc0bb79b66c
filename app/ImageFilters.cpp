// PNG and JPEG jobs read by the application instead of PAPPL.
//
// PAPPL 1.3 prints image/png and image/jpeg with readers of its own that
// take precedence over any filter registered for these types (and over a
// driver format or a raw print callback). Its PNG reader never ends on a
// truncated file: the job stays "processing", a CPU writes "PNG: Read
// Error" to the log without end, and the printer's later jobs wait
// forever. Its readers are exported from libpappl under these names and
// called through the dynamic linker, so the executable's definitions (made
// visible by app/exported-symbols.list) are the ones PAPPL calls: they are
// the same MIME filter callback as registered in main.cpp. A PAPPL that
// stops calling them still finds our registered filters.
#include <pappl/pappl.h>

#include "app/RasterJob.h"

extern "C" {

bool _papplJobFilterPNG(pappl_job_t* job, pappl_device_t* device, void* data) {
  return CRasterJob::PrintImageFile(job, device, data);
}

bool _papplJobFilterJPEG(pappl_job_t* job, pappl_device_t* device, void* data) {
  return CRasterJob::PrintImageFile(job, device, data);
}

}  // extern "C"
