"""A session's files: the program's qel.ini, and the virtual disc and log in its vcd directory."""

import os

from .drive import fakecd, fakecd_words

__all__ = ["SessionFiles"]


class SessionFiles:
    """Session's half that reads and writes the files of its directory (self.ini_path, self.vcd_dir,
    self.disc, self.drive)."""

    def write_ini(self, text):
        with open(self.ini_path, "wb") as f:
            f.write(text if isinstance(text, bytes) else text.encode("cp932"))

    def read_ini(self):
        """qel.ini as text, or None when there is none."""
        try:
            with open(self.ini_path, "rb") as f:
                return f.read().decode("cp932", "replace")
        except FileNotFoundError:
            return None

    def _write_disc(self):
        text = "[disc]\r\n" + "".join("%s=%s\r\n" % (k, v) for k, v in self.disc.items())
        # Whole or not at all: the drive re-reads the file when it changes.
        temp = os.path.join(self.vcd_dir, "disc.ini.new")
        with open(temp, "wb") as f:
            f.write(text.encode("utf-8"))
        os.replace(temp, os.path.join(self.vcd_dir, "disc.ini"))

    def set_disc(self, **keys):
        """Changes keys of the virtual disc (tracks="4:05,3:30", disc=0, door="open", ...), or
        has the person at the faked drive do the same."""
        before = dict(self.disc)
        self.disc.update(keys)
        if self.drive == "mcicda":
            words = fakecd_words(before, self.disc)
            if words:
                fakecd(*words)
        self._write_disc()

    def vcd_log(self):
        """The lines the virtual drive has logged so far (none from Wine's driver)."""
        try:
            with open(os.path.join(self.vcd_dir, "vcd.log"), "rb") as f:
                return f.read().decode("utf-8", "replace").splitlines()
        except FileNotFoundError:
            return []
