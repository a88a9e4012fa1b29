/* Where the simulated driver hears of writes to "reboot": a unix stream socket of this name in
 * the testbed's directory (UMOCKDEV_DIR). A client sends the resolved path of the attribute it
 * wrote, ended by a line break, and waits for one byte: the board has restarted by then.
 * Shared by the preload library (C) and the testbed (C++). */
#ifndef TARNVEL_SIM_REBOOT_SOCKET_H
#define TARNVEL_SIM_REBOOT_SOCKET_H

#define TARNVEL_SIM_REBOOT_SOCKET "tarnvel-sim-reboot.sock"

#endif
