"""The test-frame layout, restated for the station-side tests.

Requests are UDP to port 1060 carrying TestMsg: 8 bytes of magic, the
command code at 10, a byte argument at 11, three big-endian 32-bit values at
12, 16 and 20 and the chain byte at 24.  Replies are 66-byte broadcast
frames from 192.168.1.1:1060 to port 1062 with payload bytes 0..23.
"""
import struct

# The layout constants and the command codes come from the agent's
# src/proto/testmsg.h; after changing the header, run
#   cmake --build BUILD --target command-tables
# BEGIN cmdtable python-rfmsg
REQ_PORT = 1060
REPLY_PORT = 1062
MAGIC = b"\x7fRFPROBE"
PAYLOAD_OFF = 42
REPLY_LEN = 66
REPLY_SRC_MAC = "02:3a:91:5c:7e:48"
REPLY_SRC_IP = "192.168.1.1"

ENTER_TEST_MODE = 0x80
EXIT_TEST = 0x81
SET_CHANNEL = 0x82
SET_ANTENNA = 0x83
START_TX_FRAMES = 0x87
INIT_PA_DATAFILE = 0x91
READ_PA_PARAMS = 0x92
WRITE_PA_PARAMS = 0x93
SET_TX = 0x95
STOP_TX = 0x96
START_RX = 0x97
STOP_RX = 0x98
START_CYC_TX = 0x99
STOP_CYC_TX = 0x9A
FINISH_TEST = 0x9B
SAVE_PA_PARAMS = 0x9C
# END cmdtable python-rfmsg


def payload(cmd, byte=0, v1=0, v2=0, v3=0, chain=0, magic=MAGIC):
    """A 25-byte request payload."""
    return magic + b"\0\0" + struct.pack(">BBIIIB", cmd, byte, v1 & 0xFFFFFFFF,
                                          v2 & 0xFFFFFFFF, v3 & 0xFFFFFFFF, chain)


def reply_fields(frame):
    """(cmd, byte, value1, value2, value3) of a reply frame."""
    p = frame[PAYLOAD_OFF:PAYLOAD_OFF + 24]
    return (p[10], p[11]) + struct.unpack(">III", p[12:24])

