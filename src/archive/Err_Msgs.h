// Message numbers of the archive engine and their texts.
//
// Errors of a run are reported by number through the component's OnError
// event; the text is looked up here. Two numbers share the text "Nothing to
// do": 26859 (removing from an archive that does not exist) and 25268 (no
// entry was added or changed).
//
// 25280 and 25281 are this engine's own additions: an existing archive that
// cannot be read in full is refused rather than overwritten, and a second
// file of one run that would take an entry's name is reported rather than
// dropped silently.
#pragma once

#include <string>

enum : int {
  E_WRITE = 25136,             // "Error writing to file"
  E_WRITESPANLABEL = 25154,    // "Error writing spanned-disk label"
  E_DISKFULL = 25160,          // "Disk full"
  E_NOTACCESSIBLE = 25170,     // "is not accessible"
  E_WRITEPROTECTED = 25171,    // "disk is write protected"
  E_OPEN = 25235,              // "Error opening file"
  E_NOTHINGTODO = 25268,       // "Nothing to do"
  E_REQUIREDEVENT = 25270,     // "Required event not assigned"
  E_REQUIREDPROPERTY = 25271,  // "Required property not assigned"
  E_DAMAGED = 25280,           // "Archive is damaged"
  E_DUPLICATE = 25281,         // "Duplicate file name"
  E_USERCANCEL = 25443,        // "User canceled"
  E_NOTHINGTODELETE = 26859,   // "Nothing to do"
  E_DIRNOTEXIST = 26899        // "Directory does not exist... Create?"
};

// The text of a message number; an unknown number gives "Error " and the number.
std::string LoadErrorMsg(int eCode);
// True when the number is one of the engine's messages.
bool IsKnownErrorMsg(int eCode);
