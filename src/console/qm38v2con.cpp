// Program entry of qm38v2con. Built twice: the plain program runs the
// instrument menu (sm, re); the service edition (QM_SERVICE_MENU) registers
// every command handler that exists.
#include "commands/r62_cmds.h"
#include "console/connect_dev.h"
#include "console/conutil.h"
#include "console/globals.h"
#include "console/program.h"
#include "libcomm/libcomm.h"
#include "services/r62_comm.h"
#include "link/mxx_comm.h"

namespace {

void main_loop() {
    menu_t menu;
    menu_init(&menu);
    log_write("MAIN", "\nFound device:   ");
    if (dev_type.load() != DEV_TYPE_R62) {
        log_error("Undefined\n\n");
        return;
    }
    log_write("MAIN", "QM-38 S/C\n\n");
#ifdef QM_SERVICE_MENU
    R62_cmd_create_service_menu(&menu, connect_dev_cmd);
#else
    R62_cmd_create_menu(&menu, 0);
#endif
    menu_add(&menu, "q", "quit", "quits program", nullptr);
    menu_print(&menu);
    menu_run(&menu);
}

}  // namespace

int main() {
    input_catch_interrupt();
    log_addlevel("MAIN", 0, 1, 0, 0, "");
    log_seterror(0, 1, 0, 0, "");
    MXX_init(nullptr, MXX_event_device_list_changed, 0);
    // Ctrl-C and the end of input end the waits for the instrument too.
    comm_set_wait_check(input_wait_check);
    welcome();
    if (connect_dev() != 0) {
        log_write("MAIN", "\nNo device connected, using QM38v2 as default.");
        dev_type.store(DEV_TYPE_R62);
    }
    main_loop();
    disconnect_dev();
    MXX_shut();
    return 0;
}
