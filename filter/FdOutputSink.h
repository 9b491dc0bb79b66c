// CFdOutputSink: printer bytes to a file descriptor (the filter's standard
// output, from where CUPS passes them to the backend).
#pragma once

#include "render/OutputSink.h"

class CFdOutputSink : public IOutputSink {
 public:
  CFdOutputSink(int fd, const char* name) : m_fd(fd), m_name(name) {}
  bool Write(const void* data, size_t length, size_t* written, int* error) override;
  const char* Name() const override { return m_name; }

 private:
  int m_fd;
  const char* m_name;
};
