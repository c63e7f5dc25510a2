/* Reference Modbus/TCP server on libmodbus, written the way its own examples
 * run a multi-client server: modbus_tcp_listen, one select loop over the
 * listening socket and the clients, modbus_receive and modbus_reply over a
 * mapping of 10,000 points of each kind. Used only to compare figures.
 *
 *   ref_server_libmodbus PORT
 */
#include <modbus.h>

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

static volatile sig_atomic_t stop_requested = 0;

static void on_signal(int sig) {
    (void)sig;
    stop_requested = 1;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: ref_server_libmodbus PORT\n");
        return 2;
    }
    const int port = atoi(argv[1]);

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);

    modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
    modbus_mapping_t* map = modbus_mapping_new(10000, 10000, 10000, 10000);
    if (ctx == NULL || map == NULL) {
        fprintf(stderr, "ref_server_libmodbus: %s\n", modbus_strerror(errno));
        return 1;
    }
    for (int i = 0; i < 10000; ++i) map->tab_registers[i] = (uint16_t)(0x100 + i);

    const int listener = modbus_tcp_listen(ctx, 32);
    if (listener < 0) {
        fprintf(stderr, "ref_server_libmodbus: listen: %s\n", modbus_strerror(errno));
        return 1;
    }

    fd_set watched;
    FD_ZERO(&watched);
    FD_SET(listener, &watched);
    int highest = listener;
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];

    while (!stop_requested) {
        fd_set ready = watched;
        if (select(highest + 1, &ready, NULL, NULL, NULL) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int fd = 0; fd <= highest; ++fd) {
            if (!FD_ISSET(fd, &ready)) continue;
            if (fd == listener) {
                const int client = accept(listener, NULL, NULL);
                if (client >= 0 && client < FD_SETSIZE) {
                    FD_SET(client, &watched);
                    if (client > highest) highest = client;
                } else if (client >= 0) {
                    close(client);
                }
                continue;
            }
            modbus_set_socket(ctx, fd);
            const int rc = modbus_receive(ctx, query);
            if (rc > 0) {
                modbus_reply(ctx, query, rc, map);
            } else if (rc == -1) {
                close(fd);
                FD_CLR(fd, &watched);
            }
        }
    }

    for (int fd = 0; fd <= highest; ++fd)
        if (FD_ISSET(fd, &watched)) close(fd);
    modbus_mapping_free(map);
    modbus_free(ctx);
    return 0;
}
