// The built-in function library of the expression engine and the
// predefined variables TRUE, FALSE and PI.
//
// Every function is a stateless object registered once in the global
// function registry under its upper-cased FunctionName; expressions share
// them. Arguments are read through the call node (CheckArgument), so a
// missing or mistyped required argument fails with "%s needed for Argument
// %d of %s". An optional numeric argument counts only when it evaluates to a
// number; otherwise it is treated as missing.
//
// Further functions: derive from ThxUserDefFunction and register the object
// globally (HxGlobalFunctions().Register) or for one table
// (ThxExpUserLink::AddFunction). A name already taken is refused.
#pragma once

#include <cstdint>
#include <string>

#include "expr/hx6_sql.h"

// Fills the global registries: the 56 functions in their fixed order, then
// TRUE, FALSE and PI.
void HxRegisterBuiltIns(ThxFunctionReg& functions, ThxFieldVarReg& variables);

// Widest text a function pads to; wider requests are refused rather than
// allocating without bound (the longest built text is kHxMaxBuiltText).
inline constexpr int64_t kHxMaxPadWidth = 65535;

// ---- predefined variables ----

class ThxSDVTrue : public ThxUserDefFieldVar {
 public:
  ThxSDVTrue() : ThxUserDefFieldVar("TRUE") {}
  uint8_t GetValue(ThxExpValue& value) override;
};
class ThxSDVFalse : public ThxUserDefFieldVar {
 public:
  ThxSDVFalse() : ThxUserDefFieldVar("FALSE") {}
  uint8_t GetValue(ThxExpValue& value) override;
};
class ThxSDVPi : public ThxUserDefFieldVar {
 public:
  ThxSDVPi() : ThxUserDefFieldVar("PI") {}
  uint8_t GetValue(ThxExpValue& value) override;
};

// ---- functions ----

#define HX_UDF_MEMBERS                       \
 public:                                     \
  std::string FunctionName() const override; \
  uint8_t Execute(ThxExpFunction& call, ThxExpValue& value) override;

// Numeric
class ThxUDFAbsolute : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFArcCos : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFArcSin : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFArcTan : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFArcTan2 : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFCeiling : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFFloor : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFInt : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFCosine : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFSin : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFTan : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFDegToRad : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFRadToDeg : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFLog : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFLog10 : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFMod : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFPi : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFRound : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFFutureValue : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFPresentValue : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFAsc : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFAt : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFAtC : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFLen : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFVal : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};

// Text
class ThxUDFAllTrim : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFLTrim : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFTrim : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
// RTRIM: TRIM under another name.
class ThxUDFRTrim : public ThxUDFTrim {
 public:
  std::string FunctionName() const override;
};
class ThxUDFUpper : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFLower : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFProper : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFChr : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFLeft : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFRight : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFSubStr : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFSpace : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFStr : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
// STRZERO: the STR text with its leading blanks turned into zeros.
class ThxUDFStrZero : public ThxUDFStr {
 public:
  std::string FunctionName() const override;
  uint8_t Execute(ThxExpFunction& call, ThxExpValue& value) override;
};
class ThxUDFStrTran : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};

// PADL, PADR and PADC share the argument handling; the fill character, the
// width and the text are the working fields of the call that runs.
class ThxUDFPadMain : public ThxUserDefFunction {
 protected:
  enum class Side { Left, Right, Center };
  uint8_t Pad(ThxExpFunction& call, ThxExpValue& value, Side side);
  char fill_ = ' ';
  int64_t width_ = 0;
  std::string text_;
};
class ThxUDFPadL : public ThxUDFPadMain {
  HX_UDF_MEMBERS
};
class ThxUDFPadR : public ThxUDFPadMain {
  HX_UDF_MEMBERS
};
class ThxUDFPadC : public ThxUDFPadMain {
  HX_UDF_MEMBERS
};
class ThxUDFSoundex : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFDTOC : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFDTOS : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};

// Dates
class ThxUDFDate : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFCTOD : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFDOW : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};

// Logical and general
class ThxUDFBetween : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFEmpty : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFIIF : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFInlist : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFMax : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFMin : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};
class ThxUDFDescend : public ThxUserDefFunction {
  HX_UDF_MEMBERS
};

#undef HX_UDF_MEMBERS
