#include "framework/dberrors.h"

#include "framework/exceptions.h"

void DatabaseError(const std::string& message, const TComponent* component) {
  if (component && !component->Name().empty()) throw EDatabaseError(component->Name() + ": " + message);
  throw EDatabaseError(message);
}
