// ledset: writes its decimal argument to the LED register, or clears it.
#include "decimal.h"
#include "hwregs.h"

#include <cstdio>

int main(int argc, char **argv)
{
    RegisterWindow window{};
    if (!openRegisterWindow(window))
        return EXIT_STATUS_FAILURE;

    int32_t pattern = 0;
    if (argc < 2) {
        // "Clearing", in the Italian the board's users and scripts know it by.
        printf("Azzeramento\n");
    } else {
        pattern = decimalToInt32(argv[1]);
        printf("%s\n", argv[1]);
    }
    // What was printed reaches the user even if the store stops the program.
    fflush(stdout);
    *h2p_lw_led_addr = static_cast<uint32_t>(pattern);

    return closeRegisterWindow(window);
}
