#include "help.h"

#include <cstdio>

#include "conf.h"

void show_help(const char *progname)
{
    std::printf("Usage: %s [OPTION]...\n"
                "Quorix NTP daemon.\n"
                "\n"
                "  -c CONFIG    set configuration file path\n"
                "               (default: '%s')\n"
                "  --enable-d   enable '.d' directory based on config file path\n"
                "               (enabled by default)\n"
                "  --disable-d  disable '.d' directory support\n"
                "  --help       print help text and exit\n"
                "  --stdin      read configuration from standard input (this option will\n"
                "               automatically disable the '.d' directory support, and\n"
                "               ignores the '-c' option)\n"
                "  --version    print version number and exit\n",
                progname, CONF_DEFAULT_PATH);
}
