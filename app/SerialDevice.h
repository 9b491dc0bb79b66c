// The "serial" device scheme: pocket and receipt printers on a Bluetooth
// serial port (/dev/rfcomm0) or a plain serial line. These printers have a
// small receive buffer and no flow control to speak of, so the bytes go out
// in chunks with a pause after each:
//
//   serial:///dev/rfcomm0?chunk=128&pause=20&baud=115200
//
// chunk is in bytes (default 128), pause in milliseconds (default 20),
// baud applies to real serial lines only (default 115200). A port that
// goes away (the printer switched off, the link dropped) fails the write,
// and so the job. The port's link (DeviceLink.h) reads the printer's
// answers with the asker's time limit.
#pragma once

#include <cstddef>
#include <string>

namespace tavel {

constexpr size_t kSerialDefaultChunk = 128;  // bytes per write
constexpr int kSerialDefaultPauseMs = 20;    // pause after each chunk
constexpr size_t kSerialMaxChunk = 65536;    // larger chunks are cut to this
constexpr int kSerialMaxPauseMs = 10000;     // longer pauses are cut to this

struct SerialSettings {
  std::string path;
  size_t chunk = kSerialDefaultChunk;
  int pauseMs = kSerialDefaultPauseMs;
  int baud = 115200;
};

// The query of a device URI ("chunk=128&pause=20"), shared with the
// bluetooth scheme. QueryValue: the text after "name=" of the first item of
// that name (false: none). WholeNumber: a base-10 number and nothing else.
// QueryNumber: the value clamped to lo..hi, `fallback` when it is missing
// or not a number. ReadPacing: chunk and pause with the limits above.
bool QueryValue(const std::string& query, const char* name, std::string* value);
bool WholeNumber(const std::string& text, long* value);
long QueryNumber(const std::string& query, const char* name, long fallback, long lo, long hi);
void ReadPacing(const std::string& query, size_t* chunk, int* pauseMs);

// Reads a serial: URI; false when it names no device path.
bool ParseSerialUri(const char* uri, SerialSettings* settings);

// Registers the scheme with PAPPL (FileDevice.h's AddDeviceSchemes does).
// It lists Bluetooth serial ports (/dev/rfcomm*), USB serial adapters and
// devices (/dev/ttyUSB*, /dev/ttyACM*) and built-in ports with a UART.
void AddSerialScheme();

}  // namespace tavel
