// Helper program for the bus tests: opens the first device of vendor 24FF,
// claims interface 0 and moves data both ways until it is killed (always
// with a transfer under way). Creates the file named by its argument once
// it holds the interface; exits 3 when it cannot open, 4 when it cannot claim.
#include <libusb.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s READY-FILE\n", argv[0]);
        return 2;
    }
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != 0)
        return 3;
    libusb_device_handle* h = libusb_open_device_with_vid_pid(ctx, 0x24FF, 0x0010);
    if (!h)
        return 3;
    if (libusb_claim_interface(h, 0) != 0)
        return 4;
    FILE* ready = std::fopen(argv[1], "w");
    if (!ready || std::fclose(ready) != 0)
        return 5;
    unsigned char buf[64] = {0x55};
    for (;;) {
        int done = 0;
        libusb_bulk_transfer(h, 0x01, buf, sizeof buf, &done, 100);
        libusb_bulk_transfer(h, 0x81, buf, sizeof buf, &done, 20);
    }
}
