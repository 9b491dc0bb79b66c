// The printer link (render/PrinterLink.h) of a job's or a status check's
// device: the application's own device schemes (socket://, serial://)
// can be read with a time limit, so their printers can be asked how they
// are. PAPPL's own devices (USB, file) are never read here: a USB read
// waits for seconds on a printer that does not answer.
//
// The link sends what PAPPL still buffers for the device first, so a
// question never overtakes the page bytes before it.
#pragma once

#include <pappl/pappl.h>

#include "render/PrinterLink.h"

namespace tavel {

// The link of an open device, or null when the device can't answer (a
// scheme that is not the application's own). The link lives as long as
// the device stays open.
IPrinterLink* DeviceLink(pappl_device_t* device);

}  // namespace tavel
