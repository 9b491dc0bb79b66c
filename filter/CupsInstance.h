// The filter's entry and job loop: checks the scheduler's arguments, opens the
// raster stream and the PPD, picks the driver by model number, and hands
// every page of the stream to the engine's page entry point.
#pragma once

struct FilterJob;
class CPrinterReports;

class CCupsInstance {
 public:
  virtual ~CCupsInstance() {}
  int Run(int argc, char** argv);

 private:
  // Arguments, raster stream, options, PPD and driver; false (with the
  // message given) when the job can't start.
  bool OpenJob(int argc, char** argv, FilterJob& job);
  // Every page of the stream through the engine, until the end, a cancel or
  // a printer that stopped taking data.
  // Before each page the printer's state is reported (PrinterReports.h).
  void PrintPages(FilterJob& job, CPrinterReports& reports);
  void CloseJob(FilterJob& job);
  int ExitStatus(const FilterJob& job) const;
};
