// Process entry: the state record, the command line and the daemon's phases.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "conf.h"
#include "help.h"
#include "init.h"
#include "log.h"
#include "loop.h"
#include "version.h"

int main(int argc, char **argv)
{
    // exec() may be given an empty argument vector (argv[0] is then its end, a
    // null pointer); the messages still need a name.
    const char *progname = argv[0] != nullptr ? argv[0] : "ntp-quorix";

    auto *st = static_cast<ntp_state *>(std::calloc(1, sizeof(ntp_state)));
    if (st == nullptr) {
        std::fprintf(stderr, "Could not allocate state: %s\n", std::strerror(errno));
        return 1;
    }
    st->progname = progname;

    const char *config_path = CONF_DEFAULT_PATH;
    bool use_d_dir = true;
    bool use_stdin = false;
    for (int i = 1; i < argc; i++) {
        std::string_view arg = argv[i];
        if (arg == "--help") {
            show_help(progname);
            return 0;
        } else if (arg == "-c") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s: '%s': missing argument\n", progname, argv[i]);
                return 1;
            }
            config_path = argv[++i];
        } else if (arg == "--enable-d") {
            use_d_dir = true;
        } else if (arg == "--disable-d") {
            use_d_dir = false;
        } else if (arg == "--stdin") {
            use_stdin = true;
        } else if (arg == "--version") {
            std::printf("ntp-quorix v%s\n", ntp_quorix_version);
            return 0;
        } else {
            std::fprintf(stderr, "%s: '%s': unknown argument\n", progname, argv[i]);
            return 1;
        }
    }

    if (load_config(st, config_path, use_d_dir, use_stdin) != 0) {
        std::fprintf(stderr, "Failed to load config file '%s'\n", config_path);
        return 1;
    }
    if (init(st) != 0) {
        log_all_impl(st, true, "Failed to init the NTP state");
        return 1;
    }
    errno = 0;
    main_loop(st);
    log_all_impl(st, true, "Unexpected termination of the main-loop (%s)", std::strerror(errno));
    return 1;
}
