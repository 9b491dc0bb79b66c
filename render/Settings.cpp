#include "render/Settings.h"

#include <cstring>

tagREGSTRUCT::tagREGSTRUCT()
    : lReserved(1), bReserved1(0), bReserved2(0), iSpeed(14), iDensity(8), iDensityCommand(0),
      iReference{0, 0}, iRotate(0), bMirror(0), bNegative(0), iScale(100), iDottedline(0),
      bReserved3(1), bReserved4(1), iMediaType(0), iGap(3), iGapOffset(0), iOffset(0),
      iPostAction(0), iReserved1(0), iPrinttype(0), iCutType(0), iReserved2(0), iReserved3(0),
      iPreFeed(0), iPostFeed(0), iReserved4(0), iMoneyBox(-1), iImageMaxLength(0),
      iBeginPrintSound(-1), iEndPrintSound(-1) {}

tagREGSTRUCTWITHALFTONE::tagREGSTRUCTWITHALFTONE()
    : iGrayMethod(3), iThreValue(175), iLiangdu(0), iDuibidu(0), iCropTopEdge(0),
      iCropBottomEdge(0), iCropLeftEdge(0), iCropRightEdge(0), bImageCompress(0) {}

tagWaterMarkConfig::tagWaterMarkConfig()
    : bEnabled(0), iFontSize(40), iColor(16777215), iPosition(3), iAngle(0), iOpacity(0),
      bBold(0), iFontIndex(9), iMarginX(10), iMarginY(10), iScaleX(100), iScaleY(100) {
  std::memset(text, 0, sizeof text);
}
