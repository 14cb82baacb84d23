#include "hostapi/texts.h"

#include "hostapi/messages.h"

namespace Vardok {

const char kPluginName[] = "Vardok";
const char kPluginTag[] = "VARDOK";
const char kPlatformTag[] = "W98";

namespace Texts {

const char kMigrated[] = "Sieć kontaktu %d zamieniona na 82";
const char kFailedName[] = "vardokFailed";
const char kFailedDescription[] = "Vardok wykrył błąd";
const char kCriticalName[] = "vardokCritical";
const char kCriticalDescription[] = "Vardok wykrył błąd krytyczny";

const char kBadCommand[] = "Wprowadzona komenda jest niepoprawna!";
const char kPipeFailed[] = "Could not create pipe!";
const char kResultLog[] = "Returned %d (errno=%d) %s";
const char kInfoOk[] = "OK";
const char kInfoProblem[] = "!!!Problem!!!";
const char kNotifyOk[] = "Już wszystko dobrze.";
const char kNotifyProblem[] = "Pojawił się problem!";
const char kOverdueStatus[] = "Polecenie działa od %u s";
const char kOverdueLog[] = "Check of contact %u is overdue: \"%s\" has run longer than its limit of %u s";
const char kNoJob[] = "Child processes cannot be put in a job object here; ended checks end their direct child only";
const char kBehindLog[] = "Vardok: checks are running late: %u s behind their interval, %u runs wait";
const char kStarvedStatus[] = "Polecenie czeka na uruchomienie od %u s: %s";
const char kStarvedBusy[] = "wszystkie miejsca zajęte";
const char kStarvedCeiling[] = "za dużo sprawdzeń w toku";
const char kStarvedNoThread[] = "nie można uruchomić wątku";
const char kStarvedLog[] = "Vardok: the check of contact %u cannot start: it has waited %u s (%s)";
const char kThreadsRefusedLog[] = "Vardok: the platform refuses to start worker threads; %u checks wait";
const char kRemovalWaitLog[] = "Vardok: contact %u was removed while its run called the host; gave up waiting for that call";
const char kRunFailedOutput[] = "Sprawdzenie nie powiodło się: %s";
const char kOutOfMemory[] = "brak pamięci";
const char kOutputCutNoMemory[] = "\r\n(wynik obcięty: brak pamięci)";
const char kFailedSend[] = "Failed send";
const char kBadUrl[] = "Bad URL";
const char kCantConnect[] = "Can't connect";
const char kBadRequest[] = "Bad request";

const char kPageDescription[] =
    "<div>Wtyczka uruchamia polecenie co <i>n</i> sekund. Jeżeli polecenie zwróci dowolny kod "
    "błędu, Vardok uzna że wystąpił problem i nas o tym poinformuje.</div><div>Polecenia "
    "uruchamiane są w osobnym wątku. Wynik zapisywany jest w polu 'Więcej/Opis własny'.";
const char kCredit[] = "<small>&copy; 2026 autorzy wtyczki Vardok</small>";
const char kCommandCaption[] = "Polecenie";
const char kCommandTip[] = "\x1A" "tip=Komenda do wywołania";
const char kIntervalCaption[] = "Interwał";
const char kEnabledCaption[] = "Włączony";
const char kCheckButton[] = "Sprawdź" "\x1A" "tip=Najpierw zapisz zmiany!";
const char kGroupTitle[] = "Komenda";
const char kRefresh[] = "Odśwież";

}  // namespace Texts
}  // namespace Vardok
