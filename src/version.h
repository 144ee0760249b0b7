// The program's version, printed by --version and at start-up.
#ifndef QUORIX_VERSION_H
#define QUORIX_VERSION_H

extern const char ntp_quorix_version[];

#endif
