// Ostrel: one window, a URL box and two buttons, each sending a GET through its own stack.

#include <cstdio>
#include <cstdlib>

#include "Ostrel.Application.h"
#include "Ostrel.MainForm.h"

namespace {

bool HasValue(const char* Name) {
    const char* Value = std::getenv(Name);
    return Value != nullptr && *Value != '\0';
}

}  // namespace

int main(int, char** argv) {
    // Without a display Qt would abort with several lines about platform plugins.
    if (!HasValue("DISPLAY") && !HasValue("WAYLAND_DISPLAY") && !HasValue("QT_QPA_PLATFORM")) {
        std::fprintf(stderr, "ostrel: the window needs a display (DISPLAY or WAYLAND_DISPLAY)\n");
        return 1;
    }
    Ostrel::TApplication Application(argv[0]);
    Ostrel::Tfrm_OstrelLoginMain frm_OstrelLoginMain;
    frm_OstrelLoginMain.show();
    return Application.exec();
}
