// Synchronisation with the web service, as far as the model runs it today: the service channel
// cannot carry requests yet, so the changes stay marked for the synchronisation that will.

#include "base/UDebug.h"
#include "core/UTessivarBusinessLogic.h"

void TTessivarBusinessLogic::Synchronize(bool forced) {
    CheckThread();
    if (SetupRequired())
        return;
    Debug(std::string("Synchronization not available yet: the service channel sends no requests") +
          (forced ? " (forced)." : "."));
}
