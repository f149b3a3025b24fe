// Helper program for the bus tests: lists the USB devices libusb finds, one
// line "vvvv:pppp SERIAL" each, into the file named by its argument.
#include <libusb.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT-FILE\n", argv[0]);
        return 2;
    }
    FILE* out = std::fopen(argv[1], "w");
    if (!out)
        return 3;
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != 0)
        return 4;
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor dd{};
        libusb_get_device_descriptor(list[i], &dd);
        unsigned char s[64] = {0};
        libusb_device_handle* h = nullptr;
        if (libusb_open(list[i], &h) == 0) {
            libusb_get_string_descriptor_ascii(h, dd.iSerialNumber, s, sizeof s - 1);
            libusb_close(h);
        }
        std::fprintf(out, "%04x:%04x %s\n", dd.idVendor, dd.idProduct, s);
    }
    libusb_free_device_list(list, 1);
    libusb_exit(ctx);
    return std::fclose(out) == 0 ? 0 : 5;
}
