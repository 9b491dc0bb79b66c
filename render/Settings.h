// The job settings every driver carries, filled once per job from the PPD.
#pragma once

#include <cstdint>

// Option codes: what the integer settings below hold.

// iMediaType: the paper the printer is loaded with.
enum MediaType : int {
  kMediaContinuous = 0,     // plain roll, no marks
  kMediaGap = 1,            // labels separated by gaps
  kMediaBlackLine = 2,      // black marks on the back
  kMediaPerforated = 3,     // perforated between pages
  kMediaRoll = 4,           // roll paper of a pocket printer
  kMediaRecording = 5,      // recording paper: no white lead-in or tail
  kMediaTattoo = 6,         // tattoo transfer paper
  kMediaTattooWrinkle = 7,  // tattoo paper with guidelines
};

// iPostAction: how a label leaves a label printer.
enum PostAction : int {
  kPostNone = 0,
  kPostTear = 1,           // stop at the tear bar
  kPostCutter = 2,         // cut after every label
  kPostPeel = 3,           // peel the label off its liner
  kPostPartialCutter = 4,  // partial cut after every label
};

// iCutType: when a receipt or pocket printer cuts.
enum CutType : int {
  kCutNone = 0,
  kCutFullPerDoc = 1,     // one full cut after the document
  kCutPartialPerDoc = 2,  // one partial cut after the document
  kCutFullPerPage = 3,    // a full cut after every page
  kCutPartialPerPage = 4, // a partial cut after every page
};

// iMoneyBox: when the cash drawer is kicked open.
enum MoneyBox : int {
  kMoneyBoxOther = -1,  // a choice the filter doesn't know: never
  kMoneyBoxNone = 0,
  kMoneyBoxBeforePrint = 1,
  kMoneyBoxAfterPrint = 2,
};

// iBeginPrintSound, iEndPrintSound: when the printer beeps.
enum PrintSound : int {
  kSoundOther = -1,  // a choice the filter doesn't know: never
  kSoundNone = 0,
  kSoundEveryPage = 1,
  kSoundEveryDoc = 2,
};

// iRotate: how the page is turned before printing.
enum Rotation : int {
  kRotateNone = 0,
  kRotate180 = 1,
  kRotate90 = 2,
  kRotate270 = 3,
};

// iPrinttype: how the head makes its marks.
enum PrintType : int {
  kPrintDirectThermal = 0,
  kPrintThermalTransfer = 1,  // through a ribbon
};

// iSpeed, iDensity: the printer's own setting is kept.
constexpr int kPrinterDefault = -1;

// Job settings.
struct tagREGSTRUCT {
  tagREGSTRUCT();

  int64_t lReserved;
  uint8_t bReserved1;
  uint8_t bReserved2;
  int iSpeed;            // kPrinterDefault: the printer keeps its own speed
  int iDensity;          // kPrinterDefault: the printer keeps its own darkness
  int iDensityCommand;   // which darkness command form a PeriPage takes
  int iReference[2];     // horizontal, vertical shift (option value x 8)
  int iRotate;           // Rotation
  uint8_t bMirror;
  uint8_t bNegative;
  int iScale;            // percent
  uint8_t iDottedline;
  uint8_t bReserved3;
  uint8_t bReserved4;
  int iMediaType;        // MediaType
  int iGap;
  int iGapOffset;
  int iOffset;
  int iPostAction;       // PostAction
  int iReserved1;
  int iPrinttype;        // PrintType
  int iCutType;          // CutType
  int iReserved2;
  int iReserved3;
  int iPreFeed;
  int iPostFeed;
  int iReserved4;
  int iMoneyBox;         // MoneyBox
  int iImageMaxLength;   // most rows in one raster piece; <= 0 one piece
  int iBeginPrintSound;  // PrintSound
  int iEndPrintSound;    // PrintSound
};

// Image settings.
struct tagREGSTRUCTWITHALFTONE {
  tagREGSTRUCTWITHALFTONE();

  int iGrayMethod;  // <= 0 threshold; n >= 1 dithering method n - 1
  int iThreValue;
  int iLiangdu;     // brightness
  int iDuibidu;     // contrast
  int iCropTopEdge;
  int iCropBottomEdge;
  int iCropLeftEdge;
  int iCropRightEdge;
  uint8_t bImageCompress;
};

// Watermark record; carried with its defaults, never read by the filter.
struct tagWaterMarkConfig {
  tagWaterMarkConfig();

  uint8_t bEnabled;
  uint8_t text[4096];
  int iFontSize;
  int iColor;
  int iPosition;
  int iAngle;
  int iOpacity;
  uint8_t bBold;
  int iFontIndex;
  int iMarginX;
  int iMarginY;
  int iScaleX;
  int iScaleY;
};
