#include "archive/Err_Msgs.h"

namespace {

struct TErrMsg {
  int code;
  const char* text;
};

constexpr TErrMsg kMessages[] = {
    {E_WRITE, "Error writing to file"},
    {E_WRITESPANLABEL, "Error writing spanned-disk label"},
    {E_DISKFULL, "Disk full"},
    {E_NOTACCESSIBLE, "is not accessible"},
    {E_WRITEPROTECTED, "disk is write protected"},
    {E_OPEN, "Error opening file"},
    {E_NOTHINGTODO, "Nothing to do"},
    {E_REQUIREDEVENT, "Required event not assigned"},
    {E_REQUIREDPROPERTY, "Required property not assigned"},
    {E_DAMAGED, "Archive is damaged"},
    {E_DUPLICATE, "Duplicate file name"},
    {E_USERCANCEL, "User canceled"},
    {E_NOTHINGTODELETE, "Nothing to do"},
    {E_DIRNOTEXIST, "Directory does not exist... Create?"},
};

}  // namespace

std::string LoadErrorMsg(int eCode) {
  for (const auto& m : kMessages)
    if (m.code == eCode) return m.text;
  return "Error " + std::to_string(eCode);
}

bool IsKnownErrorMsg(int eCode) {
  for (const auto& m : kMessages)
    if (m.code == eCode) return true;
  return false;
}
