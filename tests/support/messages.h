#pragma once
// The texts an operator reads, as the program writes them: the collector's event-log
// entries and the service host's message boxes.
#include <cstdint>
#include <string>

#include "platform/system.h"
#include "text/strings.h"

namespace testsupport::texts {

// The collector's entries.
inline const std::u16string kVerzonden = u"Vanto Brivon Morvel verzoek om informatie verzonden";
inline const std::u16string kAfgewerkt = u"Vanto Brivon Morvel verzoek om informatie afgewerkt";
inline const std::u16string kOntvangen = u"Vanto Brivon Morvel pakket ontvangen";
inline const std::u16string kOngeldig = u"Vanto Brivon Morvel ongeldig pakket ontvangen, bestand niet vervangen";
inline const std::u16string kVol = u"Vanto Brivon Morvel ontvangstbuffer vol, ontvangen gegevens verworpen";
inline const std::u16string kVerbroken = u"Vanto Brivon Morvel verbinding werd geforceerd verbroken";
inline const std::u16string kGestart = u"Vanto Brivon Morvel cli\u00ebnt werd normaal gestart";
inline const std::u16string kGestopt = u"Vanto Brivon Morvel cli\u00ebnt werd normaal gestopt";
inline const std::u16string kGeinstalleerd = u"Vanto Brivon Morvel cli\u00ebnt werd met succes ge\u00efnstalleerd";
inline std::u16string Geconfigureerd(const std::u16string& binding, const std::u16string& port) {
    return u"Vanto Brivon Morvel cli\u00ebnt werd met succes geconfigureerd op " + binding + u" via poort " + port;
}

// The service host's boxes for the service of that display name.
inline const std::u16string kInstalled = u"Service installed successfully";
inline const std::u16string kUninstalled = u"Service uninstalled successfully";
inline const std::u16string kDisplayName = u"Vanto Brivon Morvel Collector";
// `what` is "install" or "uninstall"; the error a system error of that code.
inline std::u16string Failed(const std::u16string& what, std::uint32_t code) {
    return u"Service \"" + kDisplayName + u"\" failed to " + what + u" with error: \"System Error.  Code: " +
           txt::FromUtf8(std::to_string(code)) + u".\r\n" + platform::SystemErrorText(code) + u"\"";
}

}  // namespace testsupport::texts
