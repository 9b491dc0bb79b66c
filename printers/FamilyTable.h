// One row per printer language: what the engine and its front ends know of
// a family beyond its models (those are in ppd/tavelpress.drv). The filter
// picks a driver here by the PPD's model number, the printer application
// reads the kind of printer and the speed steps. How a stream of the
// language reads back is the decoder's own row (tools/decode/Languages.h).
#pragma once

#include "printers/Family.h"
#include "printers/PrinterStatus.h"
#include "render/BaseRender.h"

namespace tavel {

// What the printer is for, as a user would say: it decides the paper the
// printer takes and how a print application lists it.
enum class PrinterKind {
  kLabel,    // die-cut labels or tags, and continuous rolls
  kReceipt,  // receipt rolls, cut or torn
  kPocket,   // small rolls of paper, sticker paper and the like
};

// The print speed a level of the driver's zePrintRate choice stands for:
// (level + levelOffset) x perLevel, in hundredths of a millimetre a second.
struct SpeedSteps {
  int perLevel;  // 0: the language has no speed setting
  int levelOffset;
};

struct FamilyRow {
  Family family;
  const char* language;  // for messages and listings
  CBaseRender* (*create)();
  PrinterKind kind;
  SpeedSteps speed;
  // How the printer is asked for its state (PrinterStatus.h); null when
  // its printers can't be asked.
  const StatusQuery* statusQuery;
  // The document format of a stream in the language, sent as it is (a
  // vendor MIME type: the languages have no registered one).
  const char* rawDocumentType;
};

// The row of a family; every family has one.
const FamilyRow& FamilyInfo(Family family);

// The row of a model number, or null for a model no driver serves.
const FamilyRow* FindDriver(int modelNumber);

// A new driver for the model (one reference, owned by the caller), or null
// when the model is unknown or there is no memory.
CBaseRender* CreateDriver(int modelNumber);

}  // namespace tavel
