// The application's device schemes. PAPPL's own "file" scheme writes each
// job to <folder>/<job-name>.prn, so two jobs of one name overwrite each
// other; ours takes its place:
//
//   file:///folder         each job to <folder>/<job-id>-<job-name>.prn,
//                          made anew (O_EXCL, O_NOFOLLOW), never over
//                          another file: a name taken gets "-2", "-3", ...
//   file:///path/file.prn  every job to that file (or character device)
//
// The job name is cut to letters, digits, ".", "-", "_" and spaces (other
// characters become "_").
//
// A file: device writes only under the one folder the administrator names
// (server option file-device-folder): the URI's path, with ".." and
// symbolic links resolved, must lie in it, when a printer is made and again
// each time its device opens. Without that folder, file: devices are off:
// the server may run as a user whose files no client should choose.
// With the serial and bluetooth schemes (SerialDevice.h,
// BluetoothDevice.h), the socket scheme
// (NetworkDevice.h; PAPPL's where its schemes can't be left out) and
// PAPPL's usb, dnssd and snmp schemes, these are the device schemes of the
// application.
#pragma once

#include <pappl/pappl.h>

#include <string>

namespace tavel {

constexpr size_t kMaxJobFileName = 100;  // bytes of the job name kept in a file name

// Registers the schemes; call once, before anything of PAPPL's uses a
// device (PAPPL adds its own only to an empty list).
void AddDeviceSchemes();

// Makes the job's file when `device` is a folder of this scheme (a job
// starting says its id; PAPPL opens the device with the job's name only).
// Devices of other schemes are left alone.
void NameJobFile(pappl_device_t* device, int jobId);

// The file name of a job in a folder: "<id>-<name>.prn", the name made safe.
std::string JobFileName(int jobId, const char* jobName);

// The folder file: devices may write under ("" or a folder that does not
// resolve: none may). Returns false, with the reason, when it does not
// resolve.
bool SetFileDeviceFolder(const std::string& folder, std::string* why);

// Whether a printer may have this device URI: for file: only a path within
// the folder, for bluetooth: only a URI its scheme reads, true for other
// schemes. `why` says what is wrong.
bool DeviceUriAllowed(const char* uri, std::string* why);

// True when file: URIs go through the scheme above (false: PAPPL's, when
// this PAPPL has no way to leave its own out).
bool OwnFileScheme();

}  // namespace tavel
