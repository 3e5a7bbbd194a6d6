/* The static libmosquitto of the Windows build, end to end: connect to the
 * broker on 127.0.0.1:PORT, publish TEXT to TOPIC (retained, QoS 1), wait
 * for the broker's acknowledgement, disconnect.  Prints the library version.
 * Usage: mqtt_check PORT TOPIC TEXT */
#include <mosquitto.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int acknowledged;

static void on_publish(struct mosquitto* m, void* user, int mid)
{
    (void)m;
    (void)user;
    (void)mid;
    acknowledged = 1;
}

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: mqtt_check PORT TOPIC TEXT\n");
        return 2;
    }
    int major, minor, revision;
    mosquitto_lib_init();
    mosquitto_lib_version(&major, &minor, &revision);
    printf("libmosquitto %d.%d.%d\n", major, minor, revision);

    struct mosquitto* m = mosquitto_new("marrowit-check", true, NULL);
    if (!m) {
        fprintf(stderr, "mosquitto_new failed\n");
        return 1;
    }
    mosquitto_publish_callback_set(m, on_publish);
    int rc = mosquitto_connect(m, "127.0.0.1", atoi(argv[1]), 10);
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_publish(m, NULL, argv[2], (int)strlen(argv[3]), argv[3], 1, true);
    for (int i = 0; rc == MOSQ_ERR_SUCCESS && !acknowledged && i < 100; i++)
        rc = mosquitto_loop(m, 100, 1);
    if (rc != MOSQ_ERR_SUCCESS || !acknowledged) {
        fprintf(stderr, "publishing failed: %s\n", rc ? mosquitto_strerror(rc) : "no acknowledgement");
        return 1;
    }
    mosquitto_disconnect(m);
    mosquitto_destroy(m);
    mosquitto_lib_cleanup();
    printf("published\n");
    return 0;
}
