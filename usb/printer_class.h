/* The device-interface class the printer's USB driver publishes, as a GUID initialiser.
   Plain C, so the test-only Windows driver takes it from here too. */
#ifndef FP_PRINTER_CLASS_H
#define FP_PRINTER_CLASS_H

/* clang-format off */
#define FP_PRINTER_CLASS \
    {0x594538DA, 0x78A8, 0x06C1, {0x16, 0xB5, 0x17, 0x77, 0x9E, 0x24, 0xDF, 0x87}}
/* clang-format on */

#endif
