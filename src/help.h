// The usage text of the command line.
#ifndef QUORIX_HELP_H
#define QUORIX_HELP_H

// Write the usage text for progname to standard output.
void show_help(const char *progname);

#endif
