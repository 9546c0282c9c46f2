"""Every end-to-end scenario, one row each: the real fpflash against a simulated printer.

A row says what the printer does (fpsim's options), what the run must end with, what the
printer must have kept, and what the transcript and the printer's log must show. tests/e2e/
run.py runs a row on one build; CMake registers every row for every build it applies to
(`scenarios.py --list BUILD`). tests/FAULTS.md says which fault each row is about.

Fields of a row (all but the name optional):
  records    image size in 528-byte records (25)
  sim        fpsim's options for the printer
  status     fpflash's exit status as the program returns it (-1, not 255)
  kept       what the printer must hold at the end: "all", "none", or N leading records
  transcript True: the whole console output must equal expected/NAME.txt, where @IMAGE@
             stands for the image's name and @CRC@ for the CRC32 of what the printer kept;
             or another row's name, whose transcript this row must print too
  lines      (N, TEXT): exactly N lines of the output equal TEXT
  has        (N, TEXT): exactly N lines contain TEXT; (N, "") says the output has N lines
  log        (REGEX, N): exactly N lines of the printer's log match; a third item limits
             the check to a printer served on a Linux socket ("unix"), by fpsim ("fpsim") or
             by fpusbd ("usbd")
  says       (REGEX, N[, SCOPE]): exactly N lines of the driver's stderr match; any other
             line there fails the row, as any line at all does without this field
  touched    False: fpflash must not even open the printer
  late       True: the printer stays away until fpflash's second failed attempt, then comes
             after its --absent time
  setup      "second_printer" (a second printer under a later name), "hold_device" (another
             client holds the printer), "open_class_dir" (the class directory made writable
             by others)
  image      "good", "bad_size" (one byte too many), "missing", "none" (no argument at all),
             "directory" or "fifo" (the image's name is one), or a dict of file names to
             sizes in bytes; `args` replaces the command line
  timeout    seconds the run may take at most (150, and 50 ms a record)
  self_stop  True: the printer must stop by itself once the new firmware has been read
             (within 5 s of fpflash's end), or within this many seconds
  fleet      fpflash-all updates several printers, one list of fpsim options each: on usbd
             the testbed's own at port 1-1 (named printer-1) and an fpsim attached to the
             bus at 1-2, 1-3, ... for each further one; on host and asan those of --simulate
             (sim-1, sim-2, ...). `status` is then fpflash-all's, a printer not in
             `results` must not be touched, and `says` is the testbed's (printer-1's)
  results    {PORT: (RESULT, STATUS, BEFORE, AFTER)}: every row of fpflash-all's table
  transcripts  {PORT: NAME}: that printer's log holds expected/NAME.txt
  ports      the ports named on fpflash-all's command line
  interrupt  Ctrl-C once every printer is sending blocks, and (2) once more after the notice
  rerun      fpflash-all runs again and finishes every printer, found in its loader
  builds     where it runs: host and asan (Linux), wine (the Windows program), memcheck
             (host under valgrind), usbd (through fpusbd over an emulated USB bus, with
             fpusb-testbed in fpsim's place)
  wine       why a row that runs on Linux can't run under Wine (it is then left out there)
  usbd       why a row can't run through fpusbd (it is then left out there)
  trace      the printer is tests/traces/TRACE.trace, or the capture tests/traces/TRACE where
             it names one (.pcap, .pcapng), played back (fpsim --replay), not fpsim's model;
             the row expects what the row it was recorded from expects

Every run also asserts (simrun.invariants): no signal, nothing on fpflash's stderr, no status 0 and no
"Download file '...' - O'k" without the whole image kept, no status 0 after a failed update;
and that the printer ended cleanly, took its socket with it and left its directories 0700.
"""
import os
import re
import sys

TRACES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "traces")

LINUX_AND_WINE = ("host", "asan", "wine")
EVERY_DRIVER = LINUX_AND_WINE + ("usbd",)

# The Windows driver in the test prefix forwards what fpsim says over TCP; it can't play these.
WINE_NO_REFUSAL = ("Wine's CreateFileA succeeds where the driver refuses the open, and only "
                   "the requests after it fail")
WINE_NO_DIRECTORY = "the interface directory and its permissions exist only on Linux"
WINE_ONE_PRINTER = "the test driver publishes one printer"
WINE_NO_FIFO = "Windows has no FIFO in its file system"
LINUX_NO_WILDCARDS = "on Linux the shell expands wild cards, not the program"
# fpusbd buffers what each bulk IN transfer brings and hands all of it out to a READ.
USBD_NO_SPLIT = ("fpusbd hands a READ everything its IN transfers have brought, so the "
                 "printer's one-byte packets reach fpflash whole")
USBD_NO_CUT = "--cut-read is fpsim's own fault in its socket; fpusbd sends every reply whole"

ROWS = []


def row(name, **fields):
    fields.setdefault("builds", EVERY_DRIVER)
    for build in ("wine", "usbd"):
        if build in fields:
            fields["builds"] = tuple(b for b in fields["builds"] if b != build)
    ROWS.append(dict(name=name, **fields))


# ---- conformance: every way a run ends ---------------------------------------------------

row("complete_update", transcript=True, sim=["--stop-when-done"], self_stop=True,
    builds=EVERY_DRIVER + ("memcheck",))
row("no_printer", transcript=True, sim=["--absent", "never"], status=-1, kept="none",
    touched=False)
# Attempts are a second apart: the printer comes as soon as the second one has failed, a
# second before the third, which gives Wine's plug and play time to publish it. Until then
# there is no interface at all, not a printer that refuses.
row("third_attempt", transcript=True, sim=["--absent", "0"], late=True,
    log=[(" connected$", 3, "unix"), ("OPEN 0xC0000000: ok", 3), ("OPEN", 3)])
# The whole loader phase on the handle opened first.
row("already_in_loader", transcript=True, sim=["--start-loader"],
    log=[("write: upgrade_mode", 0), ("#[0-9]+ WRITE 528: ok", 25),
         ("OPEN 0xC0000000: ok", 2)])
row("silent_firmware", transcript=True, sim=["--app-silent"], status=-1, kept="none")
row("unscannable_version", transcript=True, sim=["--version-reply", '{"status": "busy"}'],
    status=-1)
row("first_crc_fails", transcript=True, sim=["--loader-silent"], status=-1, kept="none",
    log=[("write: block", 0), ("write: exit", 0)])
row("block_rejected_once", transcript=True, sim=["--block", "1:254:1"],
    log=[("write: block 1, reply 254", 1), ("write: block 1, reply 1", 1)])
row("block_never_acknowledged", transcript=True, sim=["--block", "1:none"], status=-1, kept=1,
    log=[("write: block 1, reply -1", 3), ("write: block 2,", 0)])
row("flash_states", transcript=True, sim=["--states", "4,253,4,254,1,2,4,6"])
row("flash_failed", transcript=True, sim=["--states", "4,251"], status=251)
# A printer that drops off the bus while fpusbd writes to it fails that WRITE, and fpusbd says
# on stderr (the journal, under its user unit) which printer went, and during what.
def left_mid_write(length):
    return ("1-1: 1209:0002 left in the middle of a WRITE of %d bytes, which failed" % length, 1,
            "usbd")


row("state_write_fails_back", transcript=True, sim=["--state-write-fails", "1"],
    log=[("away for 200 ms", 3), ("OPEN 0xC0000000: ok", 4)], says=[left_mid_write(4)])
# fpsim takes its socket down while the printer is away; fpusbd keeps its place, and refuses
# every OPEN until it is back.
KEPT_PLACE = ("OPEN 0xC0000000: refused \\(away\\)", 20, "usbd")
row("state_write_fails_gone", transcript=True,
    sim=["--state-write-fails", "1", "--state-fail-away", "never"], status=-1,
    log=[(" connected$", 2, "fpsim"), ("OPEN 0xC0000000: ok", 2), KEPT_PLACE],
    says=[left_mid_write(4)])
# After "Exit USB" the next state queries decide. A loader that has written its flash and
# restarted by itself into the new firmware: no state three times (or a state command the
# firmware refuses), and the loader phase is closed on whatever came back. A glitch that leaves
# the loader writing: polled on, told to exit only after 6.
RESTARTED = [("write: state, failed: the loader restarted into the new firmware", 1),
             ("write: exit", 0)]
row("restart_after_flash", transcript=True,
    sim=["--flash-polls", "2", "--restart-after-flash"], log=RESTARTED, says=[left_mid_write(4)])
row("restart_into_firmware_refusing_ep3", transcript=True,
    sim=["--flash-polls", "2", "--restart-after-flash", "--app-refuses-ep3"],
    log=RESTARTED + [("write: ep3 refused by the firmware", 3)],
    says=[left_mid_write(4), ("1-1: OUT 0x03: LIBUSB_TRANSFER_ERROR; the WRITE of 4 bytes", 3,
                              "usbd")])
row("glitch_while_writing", transcript=True,
    sim=["--flash-polls", "4", "--state-write-fails", "1:2"],
    log=[("write: state, failed$", 1), ("write: state, reply 4", 4), ("write: exit", 1)],
    says=[left_mid_write(4)])
row("no_return_after_upgrade", transcript=True, sim=["--upgrade-away", "never"], status=-1,
    kept="none", log=[(" connected$", 1, "fpsim"), ("OPEN 0xC0000000: ok", 1), KEPT_PLACE])
row("no_return_after_exit", transcript=True, sim=["--exit-away", "never"], status=-1,
    log=[(" connected$", 2, "fpsim"), ("OPEN 0xC0000000: ok", 2), KEPT_PLACE])
row("upgrade_mode_not_written", transcript=True, sim=["--fail-write", "upgrade_mode"],
    status=-1, kept="none",
    says=[("1-1: OUT 0x01: LIBUSB_TRANSFER_ERROR; the WRITE of 117 bytes", 1, "usbd")])
row("exit_answered", transcript=True, sim=["--exit-reply", "6"])
row("two_printers", transcript=True, setup="second_printer", wine=WINE_ONE_PRINTER)
row("device_busy", transcript=True, setup="hold_device", status=-1, kept="none",
    log=[("OPEN 0xC0000000: refused", 20)], wine=WINE_NO_REFUSAL)
row("class_dir_open", transcript=True, setup="open_class_dir", status=-1, kept="none",
    touched=False, wine=WINE_NO_DIRECTORY)
row("bad_size_image", transcript=True, image="bad_size", status=-2, kept="none",
    touched=False)
row("missing_image", transcript=True, image="missing", status=-1, kept="none", touched=False)
row("empty_image", transcript=True, records=0)
row("empty_image_no_printer", transcript=True, records=0, sim=["--absent", "never"], status=-1,
    kept="none", touched=False)
row("no_argument", transcript=True, image="none", status=1, kept="none", touched=False)
# What is not a regular file is an image that can't be opened, refused at once: a FIFO with no
# writer would block the open for ever, a directory or a device is no image.
NOT_FOUND = (1, "File '@IMAGE@' not found")
row("image_is_a_directory", image="directory", status=-1, kept="none", touched=False,
    timeout=60, lines=[NOT_FOUND], has=[(1, "")])
row("image_is_a_fifo", image="fifo", status=-1, kept="none", touched=False, timeout=60,
    lines=[NOT_FOUND], has=[(1, "")], wine=WINE_NO_FIFO)
row("image_is_a_device", image="none", args=["/dev/null"], status=-1, kept="none",
    touched=False, timeout=60, lines=[(1, "File '/dev/null' not found")], has=[(1, "")],
    wine="/dev/null is a Linux path; image_is_the_nul_device is its Windows row")
row("image_is_the_nul_device", image="none", args=["NUL"], status=-1, kept="none",
    touched=False, timeout=60, lines=[(1, "File 'NUL' not found")], has=[(1, "")],
    builds=("wine",), linux="NUL is a Windows device name")

# ---- the Windows program's own start-up ---------------------------------------------------

# Byte order would take FW_B.BIN; case-blind order takes fw_a.bin, whose wrong size ends the
# run at once.
row("wildcard_case", transcript=True, image={"fw_a.bin": 600, "FW_B.BIN": 528},
    args=["Fw_?.bin"], status=-2, kept="none", touched=False, builds=("wine",),
    linux=LINUX_NO_WILDCARDS)
row("wildcard_no_match", transcript=True, image={"other.bin": 528}, args=["fw_*.bin"],
    status=-1, kept="none", touched=False, builds=("wine",), linux=LINUX_NO_WILDCARDS)

# ---- the fault matrix: one fault each ----------------------------------------------------

# The printer goes at block I and stays away: the three closing commands can't be written and
# the last connection gives up without a prompt. fpusbd gives its place up 30 s after it went,
# while fpflash still looks for it.
IMAGE_FAILED = (1, "ERROR download file @IMAGE@")
NO_PROMPT = (0, "Press 'Enter'")
PROMPT = (1, "Press 'Enter' for exit...")
GIVEN_UP = ("1-1: not back within 30 s; printer-1 given up", 1, "usbd")
for name, at, kept in (("vanish_at_first_block", 0, "none"), ("vanish_at_block_13", 13, 13),
                       ("vanish_at_last_block", 24, 24)):
    row(name, sim=["--vanish-at", str(at)], status=-1, kept=kept,
        lines=[IMAGE_FAILED, (20, "Wait open USB")] +
        ([(1, "ERROR read CRC32, code - -100")] if at == 0 else []), has=[NO_PROMPT],
        says=[left_mid_write(528), GIVEN_UP])
# ... and comes back a second later as the loader, which has no version to give.
for at in (1, 20):
    row("vanish_at_block_%d_back" % at, sim=["--vanish-at", "%d:1000" % at], status=-1, kept=at,
        lines=[IMAGE_FAILED, (1, "ERROR read version, res = 0"), PROMPT],
        says=[left_mid_write(528)])

# Garbage instead of frames: from the first loader reply, from the first block's, and for one
# block's reply only, which the next attempt makes good.
row("garbage_from_first_reply", sim=["--garbage", "0"], status=-2, kept="none",
    lines=[(1, "ERROR read CRC32, code - -2")], has=[(0, "Download file")])
row("garbage_from_first_block", sim=["--garbage", "1"], status=-1, kept="none",
    lines=[IMAGE_FAILED, PROMPT])
row("garbage_once", sim=["--garbage", "3:1"], has=[(0, "ERROR")])

# One byte per read: a loader reply needs more reads than one command makes; a firmware reply
# is cut to its first character, which holds no version.
row("split_loader_replies", sim=["--split-ep", "3"], status=-1, kept="none", usbd=USBD_NO_SPLIT,
    lines=[(1, "ERROR read CRC32, code - -1")], has=[(0, "Download file")])
row("split_firmware_replies", sim=["--split-ep", "1"], status=-1, usbd=USBD_NO_SPLIT,
    lines=[(2, "Version, read 1 bytes"), (1, "{Write command 'upgrade_mode' - O'k"),
           (1, "{Press 'Enter' for exit...")])

# Stale bytes before every loader command: sync bytes are harmless, a stale frame is taken for
# the answer, a stray byte spoils it.
STALE = ["--stale-before", "command", "--stale-every", "--stale"]
row("stale_sync_every_command", sim=STALE + ["55"], has=[(0, "ERROR")])
row("stale_frame_every_command", sim=STALE + ["55550101"], status=1, kept="none",
    lines=[(1, "ERROR read CRC32, code - 1")], has=[(0, "Download file")])
row("stale_byte_every_command", sim=STALE + ["00"], status=-2, kept="none",
    lines=[(1, "ERROR read CRC32, code - -2")], has=[(0, "Download file")])
# A stale state before every state query: the answers fall behind but the end still comes.
row("stale_state_every_query",
    sim=["--stale", "55550404", "--stale-before", "0x84", "--stale-every"],
    has=[(7, "Download fiscal printer...")], lines=[(1, "Download end fiscal printer - O'k")])
# A stale state before the first block is taken for its answer: block 0 goes again, after the
# loader took it, and takes its own place; the rule for block 1 still meets block 1.
row("stale_state_before_first_block",
    sim=["--stale", "55550404", "--stale-before", "block", "--block", "1:253:1"],
    log=[("write: block 0 again, reply 1", 1), ("write: block 1, reply 253", 1)])

# Surplus behind every version reply: dropped with it when it comes in the same read; sync
# bytes that spill past that read are skipped ahead of the first block's answer.
row("surplus_within_one_read", sim=["--surplus", "5555010155550202"],
    lines=[(1, "Exit loader  code = -1")], has=[(0, "Download END")])
row("surplus_past_one_read", sim=["--surplus", "55" * 100], has=[(0, "ERROR")])

# The firmware's version reply: exactly 1024 bytes with the version at its very end, 1024
# bytes without one (printed whole, nothing behind it), a version of 200 characters (cut to
# 31), a key with no closing quote (-3), and one with no quote at all after it (-2).
row("reply_of_1024_bytes", sim=["--version-reply", " " * 1006 + '{"value": "7.7.7"}'],
    lines=[(2, "Version, read 1024 bytes"), (2, "Version: 7.7.7")])
row("reply_of_1024_bytes_no_value", sim=["--version-reply", "x" * 1024], status=-1,
    lines=[(2, "Version, read 1024 bytes"), (1, "x" * 1024 + "Write command 'upgrade_mode' - O'k"),
           (1, "x" * 1024 + "Press 'Enter' for exit...")])
row("version_of_200_characters",
    sim=["--app-version", "0123456789" * 20, "--new-version", "abcde" * 40],
    lines=[(1, "Version: " + "0123456789" * 3 + "0"), (1, "Version: " + "abcde" * 6 + "a")])
row("version_without_closing_quote", sim=["--version-reply", '{"result": {"value": "1.2.3'],
    status=-3, has=[(0, "Version:")],
    lines=[(1, '{"result": {"value": "1.2.3Press \'Enter\' for exit...')])
row("version_without_quote", sim=["--version-reply", '{"result": {"value": 123}}'],
    status=-2, has=[(0, "Version:")])

# A device that takes only part of each write. 3 bytes: no command packet goes whole. 100:
# upgrade_mode is cut before its command name, so the firmware stays and the loader never
# answers. 512: everything but the blocks.
row("partial_write_3", sim=["--write-max", "3"], status=-100, kept="none",
    lines=[(1, "ERROR read version, res = 0"), (1, "ERROR read CRC32, code - -100")])
row("partial_write_100", sim=["--write-max", "100"], status=-1, kept="none",
    lines=[(1, "ERROR read CRC32, code - -1")], has=[(0, "Download file")])
row("partial_write_512", sim=["--write-max", "512"], status=-1, kept="none",
    lines=[IMAGE_FAILED], has=[(2, "CRC32 = 0x00000000")])

# The driver closes the connection in the middle of the reply to the Kth read that carries
# data: the version reply, the first CRC32 reply, the third block's acknowledgement.
row("cut_version_reply", sim=["--cut-read", "1"], status=-100, kept="none", usbd=USBD_NO_CUT,
    lines=[(1, "ERROR read version, res = -1"), (1, "ERROR read CRC32, code - -100")])
row("cut_crc32_reply", sim=["--cut-read", "2"], status=-1, kept="none", usbd=USBD_NO_CUT,
    lines=[(1, "ERROR read CRC32, code - -1")], has=[(0, "Download file")])
row("cut_block_answer", sim=["--cut-read", "5"], status=-1, kept=3, lines=[IMAGE_FAILED, PROMPT],
    usbd=USBD_NO_CUT)

# Published but refusing the OPEN: always (twenty attempts, no prompt), or three times. On the
# USB bus it is the claim of the interface that is refused, which only another program
# holding it does: fpusbd says so, once.
HELD_BY_OTHER = ("held by another program", 1, "usbd")
row("refuse_every_open", sim=["--refuse-open", "always"], status=-1, kept="none",
    lines=[(20, "Wait open USB")], has=[(0, "Open USB"), NO_PROMPT], wine=WINE_NO_REFUSAL,
    says=[HELD_BY_OTHER])
row("refuse_three_opens", sim=["--refuse-open", "3"],
    lines=[(3, "Wait open USB"), (3, "Open USB - O'k")], wine=WINE_NO_REFUSAL,
    says=[HELD_BY_OTHER])

# The smallest and a large image.
row("image_of_1_record", records=1, lines=[(1, "Download block 0")],
    has=[(1, "Download block")])
row("image_of_4096_records", records=4096, has=[(205, "Download block")],
    lines=[(1, "Download block 4080")])


# ---- fpflash-all: every printer at once ----------------------------------------------------

# Each printer is updated through a relay that puts its fpflash through to it alone. The
# printers have versions of their own, so that one that got another's update shows.
FLEET = ("usbd",)
OTHER = ["--app-version", "5.0.0", "--new-version", "5.0.1"]
UPDATED, OTHER_UPDATED = ("updated", 0, "1.2.3", "1.2.4"), ("updated", 0, "5.0.0", "5.0.1")
# Both switch to their loaders in the same second and come back at their own ports.
row("fleet_switch_together", fleet=[[], OTHER], builds=FLEET,
    results={"printer-1": UPDATED, "1-2": OTHER_UPDATED},
    transcripts={"printer-1": "complete_update"})
row("fleet_one_unplugged", fleet=[["--vanish-at", "13"], OTHER], status=1, builds=FLEET,
    results={"printer-1": ("failed", -1, "1.2.3", ""), "1-2": OTHER_UPDATED},
    log=[("usb: 1209:0002 unplugged from 1-1", 1)], says=[left_mid_write(528), GIVEN_UP])
row("fleet_one_in_loader", fleet=[["--start-loader"], OTHER], builds=FLEET,
    results={"printer-1": ("updated", 0, "", "1.2.4"), "1-2": OTHER_UPDATED},
    transcripts={"printer-1": "already_in_loader"})
# Only the ports named: one has no printer, and the printer at 1-2 is left alone.
row("fleet_port_without_printer", fleet=[[], OTHER], ports=["printer-1", "1-9"], status=1,
    builds=FLEET, results={"printer-1": UPDATED, "1-9": ("absent", None, "", "")})
row("fleet_printer_plugged_in_later", fleet=[[], ["--absent", "3000"]], status=1, builds=FLEET,
    results={"printer-1": UPDATED, "1-2": ("late", None, "", "")})
row("fleet_ctrl_c_once", fleet=[[], OTHER], interrupt=1, builds=FLEET,
    results={"printer-1": UPDATED, "1-2": OTHER_UPDATED},
    has=[(1, "Ctrl-C: no update starts now; the 2 running finish")])
row("fleet_ctrl_c_twice", fleet=[[], OTHER], interrupt=2, rerun=True, status=1, builds=FLEET,
    results={"printer-1": ("stopped", None, "1.2.3", ""), "1-2": ("stopped", None, "5.0.0", "")},
    has=[(1, "Stopping every update."), (1, "Left in their loader: 1-2, printer-1")])
row("fleet_simulated", fleet=[[], [], ["--vanish-at", "13"], []], status=1,
    builds=("host", "asan"), transcripts={"sim-1": "complete_update"},
    results={"sim-1": UPDATED, "sim-2": UPDATED, "sim-3": ("failed", -1, "1.2.3", ""),
             "sim-4": UPDATED})


# ---- through fpusbd: what only the USB path has ------------------------------------------

# Every row above that names usbd also runs through fpusbd and libusb, with fpusb-testbed
# playing the printer as a USB device in fpsim's place; these are the USB path's own. The
# printer is at port 1-1, published under the runner's --name; its loader is another device
# (1209:0002) at the same port.
USBD = ("usbd",)
FOLLOWED = "arrived where 1209:000[12] left .*: followed as printer-1$"
# Three devices at one port under one socket, the loader and the new firmware followed to the
# printer's place. Each has a printer driver that fpusbd detaches: the first at fpflash's first
# OPEN, the others as soon as they arrive, mid-update. Each client ends once: closed by fpflash,
# or cut off if its device's leaving is seen first (a race either may win).
row("usb_complete_update", transcript="complete_update", sim=["--stop-when-done"],
    self_stop=True, builds=USBD,
    log=[("usb: 1-1: kernel driver detached", 3), ("published .*/printer-1$", 1),
         ("1-1: 1209:000[12] left$", 2), (FOLLOWED, 2),
         ("#[0-9]+ (cut off|closed)$", 3), ("LIBUSB_ERROR", 0)])
# Told only the ID that --list shows before the update: the loader, which no --device names,
# is found where the printer left, also at the port's peer on the USB 3 bus; a printer left
# in its loader is served by the loader's pipes, and fpflash takes its own path for it.
row("usb_firmware_id_only", transcript="complete_update",
    sim=["--fpusbd-ids", "firmware", "--stop-when-done"], self_stop=True, builds=USBD,
    log=[(FOLLOWED, 2), ("1209:0002 skipped", 0), ("usb1: 1d6b:0002 skipped", 1)])
PEER = "arrived where 1209:000%d left [0-9]+ ms before at its peer %s: followed as printer-1$"
row("usb_loader_on_the_peer_bus", transcript="complete_update",
    sim=["--fpusbd-ids", "firmware", "--loader-on-peer", "--stop-when-done"], self_stop=True,
    builds=USBD, log=[("2-1: 1209:0002 " + PEER % (1, "1-1"), 1),
                      ("1-1: 1209:0001 " + PEER % (2, "2-1"), 1)])
row("usb_rescue_by_firmware_id_only", transcript="already_in_loader",
    sim=["--start-loader", "--fpusbd-ids", "firmware"], builds=USBD,
    log=[("1-1: 1209:0002 arrived with the loader's pipes: a printer in its loader", 1),
         (FOLLOWED, 1)])
# A kernel driver that binds again whenever the interface is released; the printer opened and
# closed twice before fpflash opens it, and a loader that answers its exit and leaves only when
# fpflash lets go. The interface stays claimed until no client has held the printer for 25 s
# (here fpusbd is stopped first): the driver is detached once per device, and bound again
# once, at the end. Left alone, the printer is given back to its kernel driver after 25 s.
row("usb_driver_kept_off", transcript="exit_answered",
    sim=["--rebinding-driver", "--rude-client", "--exit-reply", "6", "--stop-when-done"],
    self_stop=True, builds=USBD,
    log=[("usb: 1-1: kernel driver detached", 3), ("usb: interface 0 of 1-1 released", 1),
         ("kernel driver bound again", 1)])
row("usb_driver_back_after_update", transcript="complete_update",
    sim=["--driver-back-within", "32000", "--stop-when-done"], self_stop=40, builds=USBD,
    log=[("usb: 1-1: kernel driver bound again", 1),
         ("done: the printer's kernel driver bound again 2[5-9][0-9]{3} ms after the update", 1)])
# Another program holds the printer's interface: every OPEN is refused, and fpusbd tells the
# technician why and what to do, once.
row("usb_claimed_by_another", transcript="device_busy", sim=["--other-holder"], status=-1,
    kept="none", builds=USBD, says=[("held by another program.*Stop that program", 1)],
    log=[("OPEN 0xC0000000: refused \\(not claimed\\)", 20)])
# Pulled out at block 13: the transfer fails and the connection is cut off. The place is kept,
# refusing OPEN, for 30 s from then, and given up while fpflash still looks for the printer
# (the failing block's attempts come first).
row("usb_unplugged_mid_download", sim=["--vanish-at", "13"], status=-1, kept=13, builds=USBD,
    lines=[IMAGE_FAILED, (20, "Wait open USB")], has=[NO_PROMPT],
    log=[("usb: 1209:0002 unplugged from 1-1", 1), ("1-1: 1209:0002 left$", 1),
         ("#2 WRITE 528: failed 0", 1), ("#2 cut off$", 1),
         ("not back within 30 s; printer-1 given up", 1), ("unpublished printer-1$", 1)],
    says=[left_mid_write(528), GIVEN_UP])
# Its device node stops answering at block 13: that printer is retired as if it had left, and
# fpusbd goes on serving.
row("usb_device_node_fails", sim=["--node-fails-at", "13"], status=-1, kept=14, builds=USBD,
    lines=[IMAGE_FAILED, (20, "Wait open USB")], has=[NO_PROMPT],
    says=[("1-1: libusb's event handling failed on the device node of 1209:0002 "
           "\\(LIBUSB_ERROR_IO\\); not served until it is plugged in anew", 1), GIVEN_UP])
# Two printers, and the one being updated takes longer than fpflash looks for it to come back
# as the loader: its place stays first, refusing OPEN, and the other printer is never opened.
row("usb_slow_loader_two_printers", transcript="no_return_after_upgrade",
    sim=["--second-printer", "--upgrade-away", "26000"], status=-1, kept="none", builds=USBD,
    log=[("published .*/printer-1-2$", 1), ("second printer: claimed", 0), KEPT_PLACE[:2]])
# The first write of block 5 stalls the loader's OUT endpoint: that WRITE fails at once, the
# halt is cleared, and the block's next attempt goes through, also when the clearing takes
# 5.1 s (fpflash waits 5 s for a reply): the attempt waits for it at most the write timeout.
row("usb_stalled_endpoint", transcript="complete_update", sim=["--stall-at", "5",
    "--stop-when-done"], self_stop=True, builds=USBD,
    log=[("usb: block 5 stalls OUT 0x03", 1), ("0x03 stalled; halt cleared", 1),
         ("usb: halt of OUT 0x03 cleared", 1), ("#[0-9]+ WRITE 528: failed 0", 1),
         ("write: block 5, reply 1", 1)], says=[("1-1: 0x03 stalled; halt cleared", 1)])
row("usb_stall_slow_to_clear", transcript="complete_update",
    sim=["--stall-at", "5", "--slow-clear-halt", "5100", "--stop-when-done"], self_stop=True,
    builds=USBD, log=[("usb: halt of OUT 0x03 cleared", 1),
                      ("#[0-9]+ WRITE 528: failed 0 \\(stalled\\)", 1)],
    says=[("1-1: 0x03 stalled; halt cleared", 1)])
# The printer takes half of block 5 and then nothing: fpusbd's write timeout ends the
# transfer and the WRITE fails whole, never a short count; the loader ignores the half, and
# the block's next attempt goes through.
row("usb_short_write", transcript="complete_update", sim=["--short-at", "5",
    "--stop-when-done"], self_stop=True, builds=USBD,
    log=[("block 5: 264 of 528 bytes taken", 1),
         ("WRITE 528: failed 0 \\(timed out after 1000 ms, 264 bytes taken\\)", 1),
         ("WRITE 528: ok 264", 0), ("write: 264 bytes ignored", 1),
         ("write: block 5, reply 1", 1)],
    says=[("1-1: OUT 0x03: the printer took 264 of 528 bytes in 1000 ms; the WRITE failed", 1)])
# udev gives each device node its mode a second after the device appears: fpusbd tries each
# again until it may open it, and has nothing to tell the technician.
row("usb_access_late", transcript="complete_update",
    sim=["--access-denied", "1000", "--stop-when-done"], self_stop=True, builds=USBD,
    log=[("no access to its device node yet", 3), ("open to its user", 3), (FOLLOWED, 2)])
row("usb_second_client", transcript="device_busy", sim=["--second-client"], status=-1,
    kept="none", builds=USBD,
    log=[("second client: holds the printer", 1), ("OPEN 0xC0000000: refused", 20)])
# Two printers on one bus, the other one at port 1-2 and plugged in first: fpflash takes the
# first name, and nothing claims the other. Another product of the vendor, told the vendor
# only: not a printer, never published, and said once.
row("usb_two_printers", transcript="complete_update", sim=["--second-printer",
    "--stop-when-done"], self_stop=True, builds=USBD,
    log=[("published .*/printer-1-2$", 1), ("second printer: claimed", 0),
         ("second printer: .* written", 0)])
row("usb_other_product_of_the_vendor", transcript="complete_update",
    sim=["--other-product", "--fpusbd-ids", "vendor", "--stop-when-done"], self_stop=True,
    builds=USBD, log=[("published .*/1-2$", 0), ("other product: claimed", 0)],
    says=[("1-2: 1209:0003 is no printer: its interface 0 has no bulk OUT/IN pair of the "
           "printer's \\(0x01/0x81 or 0x03/0x83\\); not served", 1)])
# Among them a write of a whole number of packets, which a zero-length packet ends.
row("usb_malformed_requests", transcript="complete_update", sim=["--rude-client",
    "--stop-when-done"], self_stop=True, builds=USBD,
    log=[("rude client: 20 of 20 requests answered, each as it should be", 1),
         ("usb: OUT 0x01: 512 bytes, then a zero-length packet", 1)])
# Listing the bus, told the vendor only.
row("usb_bus_listed", transcript="complete_update", sim=["--bus-poll", "100",
    "--fpusbd-ids", "vendor", "--stop-when-done"], self_stop=True, builds=USBD,
    log=[("following the bus by listing it", 1), ("published .*/printer-1$", 1),
         (FOLLOWED, 2)])
# After a complete update the bus answers ten seconds late and the device node polls ready,
# so that fpusbd sits in libusb when SIGTERM comes: it still ends at once, its sockets gone,
# leaving the printer to the kernel as it is.
row("usb_stop_on_a_slow_bus", transcript="complete_update",
    sim=["--slow-bus", "10000", "--stop-when-done"], self_stop=True, builds=USBD,
    log=[("slow bus: fpusbd waits on a request", 1),
         ("stopped by signal 15; the bus did not answer within 800 ms", 1)])
# Started by udev, fpusbd ends by itself once no update has gone on for its --idle-exit time
# (the unit's 120 s, 1 s here). The printer is away 1.5 s at each switch, longer than that,
# but the update goes on: no end mid-update. Left plugged in, held by nobody, the printer is
# released 25 s after the update, and fpusbd ends its idle time later, its socket gone.
IDLE_EXIT = ("no update for 1 s: exiting", 1)
row("usb_idle_exit_after_update", transcript="complete_update",
    sim=["--idle-exit", "1", "--reenum", "1500", "--stop-when-done"], self_stop=45, builds=USBD,
    log=[(FOLLOWED, 2), ("printer-1: kept for 30 s", 2), ("given up", 0),
         ("1-1: no client for 25 s: the update is over", 1), IDLE_EXIT,
         ("fpusbd ended by itself, status 0, 2[5-9][0-9]{3} ms after the update", 1)])
# Started without a printer there (one plugged in and out at once, or a start by hand), it
# ends once its time is up, while fpflash still looks for one.
row("usb_idle_exit_no_printer", transcript="no_printer",
    sim=["--absent", "never", "--idle-exit", "1"], status=-1, kept="none", touched=False,
    self_stop=True, builds=USBD,
    log=[IDLE_EXIT, ("fpusbd ended by itself, status 0, [0-9]+ ms after its start without an "
                     "update", 1)])


CAPTURES = (".pcap", ".pcapng")


def trace_path(name):
    return os.path.join(TRACES, name if name.endswith(CAPTURES) else name + ".trace")


# What a trace's lines look like (di/trace.h has the whole format; fpsim --replay reads each
# line strictly): enough for the configuration to stop at a file that is no trace.
_HEX, _EP = r"(?:[0-9a-f]{2})+", r"(?:-|0x[0-9a-f]{2})"
TRACE_LINE = re.compile(r"\+\d+ (?:%s)$" % "|".join([
    r"arrived \S+ [0-9a-f]{4}:[0-9a-f]{4} interface \d+ out \S+ in \S+",
    r"left \S+ [0-9a-f]{4}:[0-9a-f]{4}",
    r"(?:un)?published \S+",
    r"#\d+ (?:connected|closed|cut)",
    r"#\d+ (?:OPEN|IOCTL) 0x[0-9A-F]{8} (?:ok|failed)",
    r"#\d+ READ \d+ %s (?:ok 0|ok \d+ %s|failed)" % (_EP, _HEX),
    r"#\d+ WRITE \d+ %s (?:%s|none|-) (?:ok \d+|failed)" % (_EP, _HEX),
    r"#\d+ (?:SHORT \d|OP\d+ 0x[0-9A-F]{8}) failed",
    r"bulk in %s (?:\d+ %s|error \S+)" % (_EP, _HEX)]))


def trace_problem(name):
    """Why tests/traces/NAME.trace is no trace, or None; a capture is checked by tshark."""
    if name.endswith(CAPTURES):
        return None if os.path.isfile(trace_path(name)) else "%s: missing" % trace_path(name)
    try:
        with open(trace_path(name), encoding="ascii") as f:
            lines = f.read().split("\n")
    except (OSError, UnicodeDecodeError) as e:
        return "%s: %s" % (trace_path(name), e)
    if lines[0] != "fpflash-trace 1":
        return "%s:1: not \"fpflash-trace 1\"" % trace_path(name)
    for n, line in enumerate(lines[1:], 2):
        if line and not line.startswith("#") and not TRACE_LINE.match(line):
            return "%s:%d: not a line of a trace: %.80s" % (trace_path(name), n, line)
    return None


def transcript_of(r):
    """The stem of the expected transcript a row compares, or None."""
    t = r.get("transcript")
    return t if isinstance(t, str) else r["name"] if t else None


def rows_for(build):
    return [r for r in ROWS if build == "all" or build in r["builds"]]


def find(name):
    return next((r for r in ROWS if r["name"] == name), None)


def cost(r):
    """Roughly the row's seconds, so that a parallel run starts the long ones first."""
    return 20 + r.get("records", 25) // 20


# ---- traces: printers recorded through fpusbd, played back ------------------------------

# Each trace was recorded through fpusbd on the emulated bus, by its own row:
#   FP_E2E_RECORD=tests/traces/NAME.trace tests/e2e/run.py usbd NAME
# Played back by fpsim --replay, it must draw from fpflash the very requests it holds, and the
# row expects what NAME's row expects (status, what the printer keeps, the transcript and
# lines), all but the printer's own log.
TRACE_ONLY = "the trace plays back through fpsim; fpusbd is what recorded it"
# The place fpusbd kept for the printer refused each OPEN while it was away.
# The same runs as captures of the USB bus in each form Wireshark writes (scripts/capture.py
# made them from the traces; tests/e2e/captures.py checks them with tshark).
for source, left_out, capture in (
        ("complete_update", {}, "usbpcap.pcapng"),
        ("block_rejected_once", {}, "usbmon48.pcap"),
        ("restart_after_flash", {}, "usbmon64.pcapng"),
        ("usb_unplugged_mid_download", {"wine": WINE_NO_REFUSAL}, None)):
    expects = {k: v for k, v in find(source).items()
               if k in ("status", "kept", "transcript", "lines", "has", "records")}
    if expects.get("transcript") is True:
        expects["transcript"] = source
    row("trace_" + source, trace=source, builds=LINUX_AND_WINE, usbd=TRACE_ONLY, **left_out,
        **expects)
    if capture:
        row("capture_" + source, trace=source + "." + capture, builds=LINUX_AND_WINE,
            usbd=TRACE_ONLY, **expects)


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--list":
        traced = {r["trace"] for r in ROWS if "trace" in r}
        kept = {f[:-len(".trace")] if f.endswith(".trace") else f for f in os.listdir(TRACES)
                if f.endswith((".trace",) + CAPTURES)}
        problems = [trace_problem(t) for t in sorted(traced)]
        problems += ["%s belongs to no scenario" % trace_path(t) for t in sorted(kept - traced)]
        if any(problems):
            print("\n".join(p for p in problems if p), file=sys.stderr)
            return 1
        for r in rows_for(sys.argv[2]):
            print(r["name"], cost(r), transcript_of(r) or 0)
        return 0
    if len(sys.argv) == 2 and sys.argv[1] == "--left-out":
        for r in ROWS:
            for build in ("wine", "linux", "usbd"):
                if r.get(build):
                    print("%s (not %s): %s" % (r["name"], build, r[build]))
        return 0
    print("usage: scenarios.py --list BUILD|all | --left-out", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
