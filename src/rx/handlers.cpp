#include "rx/rx.h"
#include "state/console.h"

namespace spweth {
namespace {

// One registrable callback: its field and its messages.
struct HandlerSlot {
    event_handler LibraryState::*field;
    const char *refused;
    const char *registered;
    const char *unregistered;
};

constexpr HandlerSlot kCcode{&LibraryState::ccode_handler,
                             " ERROR in register ccode event handler ! ",
                             "ccode_handler is registered!\n", "ccode_handler unregistered!\n"};
constexpr HandlerSlot kErrFrame{
    &LibraryState::err_frame_handler, " ERROR in register err frame event handler ! ",
    "err_frame_handler is registered!\n", "err_frame_handler unregistered!\n"};
constexpr HandlerSlot kStatus{&LibraryState::status_handler,
                              " ERROR in register status event handler ! ",
                              "status_handler is registered!\n", "status_handler unregistered!\n"};

int register_handler(const HandlerSlot &slot, event_handler handler) {
    if (handler == nullptr) {
        console_print("%s", slot.refused);
        return -1;
    }
    library_state.*slot.field = handler;
    console_print("%s", slot.registered);
    return 0;
}

void disable_handler(const HandlerSlot &slot) {
    library_state.*slot.field = nullptr;
    console_print("%s", slot.unregistered);
}

}  // namespace
}  // namespace spweth

using spweth::library_state;

extern "C" {

SPWETH_API int register_ccode_event_handler(event_handler handler) {
    return spweth::register_handler(spweth::kCcode, handler);
}
SPWETH_API int register_err_frame_event_handler(event_handler handler) {
    return spweth::register_handler(spweth::kErrFrame, handler);
}
SPWETH_API int register_status_event_handler(event_handler handler) {
    return spweth::register_handler(spweth::kStatus, handler);
}
SPWETH_API void disable_handler_ccode(void) { spweth::disable_handler(spweth::kCcode); }
SPWETH_API void disable_handler_err_frame(void) { spweth::disable_handler(spweth::kErrFrame); }
SPWETH_API void disable_handler_status(void) { spweth::disable_handler(spweth::kStatus); }
SPWETH_API event_handler get_handler_ccode_state(void) { return library_state.ccode_handler; }
SPWETH_API event_handler get_handler_err_frame_state(void) {
    return library_state.err_frame_handler;
}
SPWETH_API event_handler get_handler_status_state(void) { return library_state.status_handler; }

}  // extern "C"
