// The filter's entry and job loop: checks the scheduler's arguments, opens the
// raster stream and the PPD, picks the driver by model number, and runs the
// driver's document and page hooks for every page of the stream.
#pragma once

#include <cups/ppd.h>
#include <cups/raster.h>
#include <signal.h>

#include "render/BaseRender.h"
#include "render/MyBuffer.h"
#include "render/ObjRef.h"

extern int ModelNumber;
extern int Page;
extern volatile sig_atomic_t Canceled;
extern CStdRefPtr<CBaseRender> g_pRender;

void CancelJob(int signal);

class CCupsInstance {
 public:
  virtual ~CCupsInstance() {}
  int Run(int argc, char** argv);
  // Returns true when the page's image was built and its hooks ran.
  bool StartPage(ppd_file_t* ppd, cups_page_header2_t* header, CMyBuffer& buffer);
  void EndPage(ppd_file_t* ppd, cups_page_header2_t* header);
};
