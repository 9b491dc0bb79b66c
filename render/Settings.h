// The job settings every driver carries, filled once per job from the PPD.
#pragma once

#include <cstdint>

// Job settings.
struct tagREGSTRUCT {
  tagREGSTRUCT();

  int64_t lReserved;
  uint8_t bReserved1;
  uint8_t bReserved2;
  int iSpeed;            // -1: the printer keeps its own speed
  int iDensity;          // -1: the printer keeps its own darkness
  int iDensityCommand;   // which darkness command form a PeriPage takes
  int iReference[2];     // horizontal, vertical shift (option value x 8)
  int iRotate;           // 0 none, 1 180, 2 90, 3 270 degrees
  uint8_t bMirror;
  uint8_t bNegative;
  int iScale;            // percent
  uint8_t iDottedline;
  uint8_t bReserved3;
  uint8_t bReserved4;
  int iMediaType;        // see the media table of GetPrinterParameters
  int iGap;
  int iGapOffset;
  int iOffset;
  int iPostAction;       // 1 tear, 2 cutter, 3 peel, 4 partial cutter
  int iReserved1;
  int iPrinttype;        // 0 direct thermal, 1 thermal transfer
  int iCutType;          // 1, 2 cut per document; 3, 4 per page
  int iReserved2;
  int iReserved3;
  int iPreFeed;
  int iPostFeed;
  int iReserved4;
  int iMoneyBox;         // 0 none, 1 before, 2 after printing, -1 other
  int iImageMaxLength;   // most rows in one raster piece; <= 0 one piece
  int iBeginPrintSound;  // 0 none, 1 every page, 2 every document, -1 other
  int iEndPrintSound;
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
