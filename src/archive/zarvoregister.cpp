#include "archive/zarvoregister.h"

TRegisterZarvo::TRegisterZarvo(TComponent* owner) : TComponent(owner) {}

void TRegisterZarvo::SetArchiveFile(const std::string& value) { archiveFile_ = value; }

void TRegisterZarvo::SetArcType(TArcType value) { arcType_ = value; }
