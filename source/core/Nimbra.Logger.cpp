#include "Nimbra.Logger.h"

namespace Nimbra {

void TLogger::Log(const std::string& Msg) const {
    if (FLogEngine) FLogEngine->LogMessage(Msg);
}

void TLogger::Debug(const std::string& Msg) const {
    if (FLogEngine) FLogEngine->LogMessage(Msg);
}

}  // namespace Nimbra
