"""The switch as a PyMeasure instrument.

    from rfswitch_panel.pymeasure import RFSwitchPanel
    switch = RFSwitchPanel("TCPIP0::bench-pc::inst0::INSTR")
    switch.path = "rf1"

Over ...::inst0::INSTR (VXI-11), ...::5025::SOCKET (the raw socket) or
...::hislip0::INSTR (with a VISA that has HiSLIP). Every setting waits until
the switch has moved and raises RFSwitchPanelError with the program's own
words where it did not. The VISA timeout follows the settle time; after a
timeout all the same, the next answer read is the next query's.
"""
import contextlib
import re
import secrets

import pyvisa
from pymeasure.instruments import Instrument

# What each path is switched by, and what ROUTe:CLOSe:STATe? answers for it.
_SELECT = {"rf1": "ROUT:CLOS (@1)", "rf2": "ROUT:CLOS (@2)", "off": "ROUT:OPEN:ALL"}
_CLOSED = {"(@1)": "rf1", "(@2)": "rf2", "(@)": "off", "(@1,2)": "forbidden"}
# The longest settle time the switch takes, in seconds.
_MAX_SETTLE = 60
# Where a server serves several boards: ROUTe:CLOSe? of a board's two
# channels, and the path it answers for.
_BOARD_CLOSED = {"1,0": "rf1", "0,1": "rf2", "0,0": "off", "1,1": "forbidden"}
# A channel's label, as the switch takes it (ROUT:CHAN:LAB).
_LABEL = re.compile(r"[A-Za-z][A-Za-z0-9_]{0,11}")


class RFSwitchPanelError(Exception):
    """An error the switch queued: its SCPI number and its text."""

    def __init__(self, errors):
        self.errors = errors  # [(number, text), ...] as SYSTem:ERRor? gave them
        super().__init__("; ".join(f"{number}, {text}" for number, text in errors))


class RFSwitchPanel(Instrument):
    """RF COMMON switched to RF1, to RF2, or every port terminated ("off"),
    on the board behind rfswitch-panel; with `board`, on that board of a
    server that serves several (--board), whose channels are numbered by
    board (201, 202). Keyword arguments go to PyMeasure's VISAAdapter
    (visa_library="@py" for pyvisa-py, for example)."""

    def __init__(self, adapter, name="RF switch panel", board=None, **kwargs):
        # Channels 1 and 2, or the board's b01 and b02.
        self._board = board
        self._channels = (f"{board}01", f"{board}02") if board else ("1", "2")
        # Every answer ends in a line feed, which VISA's raw sockets need to be told.
        kwargs.setdefault("read_termination", "\n")
        kwargs.setdefault("write_termination", "\n")
        super().__init__(adapter, name, includeSCPI=True, **kwargs)
        # What is given (or VISA's own) is the time to reach the switch; a
        # switch takes up to two settle times more: the last one's, then its own.
        self._reach = self.adapter.connection.timeout
        self._follow()

    @property
    def path(self):
        """"rf1", "rf2" or "off" as the port last read it back ("forbidden"
        for both control bits set); None where the port could not be read.
        Set to "rf1", "rf2", "off" or a channel's label ("ANT"): returns
        once the switch has moved."""
        if self._board:
            return _BOARD_CLOSED.get(self.ask("ROUT:CLOS? (@{},{})".format(*self._channels)).strip())
        return _CLOSED.get(self.ask("ROUT:CLOS:STAT?").strip())

    @path.setter
    def path(self, value):
        rf1, rf2 = self._channels
        selects = {"rf1": f"ROUT:CLOS (@{rf1})", "rf2": f"ROUT:CLOS (@{rf2})", "off": f"ROUT:OPEN (@{rf1},{rf2})"}
        command = (selects if self._board else _SELECT).get(str(value).lower())
        if command is None and _LABEL.fullmatch(str(value)):
            command = f"ROUT:CLOS (@{value})"
        if command is None:
            raise ValueError(f"path {value!r}: rf1, rf2, off or a channel's label")
        self._complete(command)

    @property
    def cycles(self):
        """How often RF1 and RF2 have been closed, as the board's counters keep them: (rf1, rf2)."""
        answer = self.ask("DIAG:REL:CYCL? (@{},{})".format(*self._channels))
        self.check_errors()
        return tuple(int(float(count)) for count in answer.split(","))

    @property
    def settle_time(self):
        """Seconds after a verified switch until the operation is complete."""
        answer = self.ask(self._settle_query())
        self.check_errors()
        self._follow(float(answer))
        return float(answer)

    @settle_time.setter
    def settle_time(self, seconds):
        where = f",(@{self._channels[0]})" if self._board else ""
        self._complete(f"ROUT:{'CHAN:DEL' if self._board else 'SETT:TIME'} {float(seconds):g}{where}")
        self._follow(float(seconds))

    def _settle_query(self):
        """The query of this board's settle time (a board's own where several are served)."""
        return f"ROUT:CHAN:DEL? (@{self._channels[0]})" if self._board else "ROUT:SETT:TIME?"

    def lock(self):
        """Takes the switch for this client alone: True where it got it,
        False where another client holds it. (Over VXI-11 the protocol
        refuses every message of another link while one holds the lock:
        there VISA raises its I/O error instead.)"""
        return self.ask("SYST:LOCK:REQ?").strip() == "1"

    def unlock(self):
        """Lets go of the lock, where this client holds it."""
        self.write("SYST:LOCK:REL")

    def check_errors(self):
        """Raises RFSwitchPanelError with every error the switch queued for this client."""
        errors = []
        while True:
            number, _, text = self.ask("SYST:ERR?").strip().partition(",")
            if int(number) == 0:
                break
            errors.append((int(number), text.strip('"')))
        if errors:
            raise RFSwitchPanelError(errors)

    # As PyMeasure's, but a timeout leaves no answer behind to be read later.
    def ask(self, command):
        with self._recovering():
            return super().ask(command)

    def read(self):
        with self._recovering():
            return super().read()

    def _follow(self, settle_time=None):
        """Sets the VISA timeout from the settle time, read from the switch where not given."""
        if settle_time is None:
            settle_time = float(self.adapter.connection.query(self._settle_query()))
        if self._reach is not None:
            self.adapter.connection.timeout = self._reach + 2000 * settle_time

    @contextlib.contextmanager
    def _recovering(self):
        # An answer that came too late must not pass for the next one's.
        try:
            yield
        except pyvisa.errors.VisaIOError as error:
            if error.error_code != pyvisa.constants.StatusCode.error_timeout:
                raise
            self._resynchronise()
            self._follow()  # another client may have changed it
            raise

    def _resynchronise(self):
        connection = self.adapter.connection
        if connection.resource_class != "SOCKET":
            connection.clear()  # device clear: what the switch still owes is dropped
            return
        # A raw socket cannot be cleared: every answer still due is read and
        # dropped, up to the one that carries a token of this client's own.
        # The blank line ends whatever was left half sent.
        token = f'"{secrets.token_hex(8)}"'
        if self._reach is not None:
            connection.timeout = self._reach + 2000 * _MAX_SETTLE
        connection.write(f"\nSYST:SYNC? {token}")
        while connection.read().strip() != token:
            pass

    def _complete(self, command):
        # *OPC? answers once the switch has done what came before it.
        self.ask(command + ";*OPC?")
        self.check_errors()
