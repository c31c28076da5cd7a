# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
"""avahi-daemon started fresh inside one test namespace, with a private D-Bus system
bus and a private /run, so that it is nobody else's and nothing outside sees it."""
import os
import shutil
import tempfile
import time

BUS_CONF = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=%s</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/><allow own="*"/><allow send_destination="*"/><allow receive_sender="*"/>
  </policy>
</busconfig>
"""
AVAHI_CONF = """[server]
host-name=%s
use-ipv4=yes
use-ipv6=yes
ratelimit-interval-usec=1000000
ratelimit-burst=1000
[wide-area]
enable-wide-area=%s
[publish]
publish-hinfo=no
publish-workstation=no
"""


class AvahiDaemon:
    def __init__(self, lab, host, host_name="avahihost", wide_area=False, bus=True):
        self.lab, self.host = lab, host
        self.dir = tempfile.mkdtemp(prefix="lanbeacon-avahi-")
        os.chmod(self.dir, 0o755)  # the bus is for every user, as a system bus is
        self.env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS="unix:path=%s/bus" % self.dir)
        with open(os.path.join(self.dir, "bus.conf"), "w") as f:
            f.write(BUS_CONF % os.path.join(self.dir, "bus"))
        with open(os.path.join(self.dir, "avahi.conf"), "w") as f:
            f.write(AVAHI_CONF % (host_name, "yes" if wide_area else "no"))
        self.bus = self.daemon = None
        if bus:
            self.start_bus()

    def start_bus(self):
        self.bus = self.lab.spawn(self.host, ["dbus-daemon", "--config-file=%s/bus.conf" % self.dir, "--nofork",
                                              "--nopidfile"], env=self.env)
        deadline = time.time() + 5
        while not os.path.exists(os.path.join(self.dir, "bus")) and time.time() < deadline:
            time.sleep(0.01)

    def start(self, wait=True):
        self.daemon = self.lab.spawn(self.host, [
            "unshare", "-m", "sh", "-c",
            "mount -t tmpfs tmpfs /run && mkdir /run/avahi-daemon && exec avahi-daemon -f %s/avahi.conf "
            "--no-drop-root --no-chroot --no-rlimits" % self.dir], env=self.env)
        if wait:
            self.lab.wait_stderr(self.daemon, lambda t: "Server startup complete" in t, 10)
        return self.daemon

    def stop(self):
        """Ends the daemon as its service manager would; the bus stays."""
        if self.daemon and self.daemon.poll() is None:
            self.daemon.terminate()
            self.daemon.wait(5)

    def publish(self, name, service_type, port, txt=()):
        return self.lab.spawn(self.host, ["avahi-publish", "-f", "-s", name, service_type, str(port)] + list(txt),
                              env=self.env)

    def close(self):
        for proc in (self.daemon, self.bus):
            if proc and proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(5)
                except Exception:
                    proc.kill()
        shutil.rmtree(self.dir, ignore_errors=True)
