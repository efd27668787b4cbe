"""The agent Quenlit on its own: one instance, the mixer watched and the service's event set
at every change, and its end on WM_QUIT or WM_CLOSE."""
import subprocess
import threading

from conftest import APP_DEFAULTS, WINE, program, simmixer, wait_until, wine


class Agent:
    def __init__(self):
        self.process = subprocess.Popen([WINE, program("Quenlit.exe")], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        assert wait_until(lambda: probe("find").returncode == 0, 20), "no agent window"

    def end(self, how):
        assert probe("post", how).returncode == 0
        return self.process.wait(20)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


def probe(*args):
    return wine(program("AgentProbe.exe"), *args)


class ServiceEvent:
    """AgentProbe.exe event: the service's event, and how often it was set."""

    def __init__(self):
        self.process = subprocess.Popen([WINE, program("AgentProbe.exe"), "event"],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True)
        assert self.process.stdout.readline().strip() == "ready"
        self.sets = 0
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.process.stdout:
            if line.strip() == "set":
                self.sets += 1

    def close(self):
        self.process.stdin.close()
        self.process.wait(20)


def opens():
    return int(simmixer("status")["open_handles"])


def test_agent_sets_the_event_at_each_change_and_ends_on_quit_or_close(mixer_machine):
    event = ServiceEvent()
    agents = []
    try:
        before = opens()
        agents.append(Agent())
        assert wait_until(lambda: opens() == before + 1, 20), "the agent did not open the mixer"

        second = subprocess.run([WINE, program("Quenlit.exe")], timeout=30)
        assert second.returncode == 0
        assert agents[0].process.poll() is None and opens() == before + 1

        simmixer("volume", 1234)
        assert wait_until(lambda: event.sets == 1, 10), event.sets
        simmixer("mute", "on")
        assert wait_until(lambda: event.sets == 2, 10), event.sets
        assert not wait_until(lambda: event.sets > 2, 2), "set without a change"

        assert agents[0].end("quit") == 0
        assert wait_until(lambda: opens() == before, 10), "the mixer stayed open"
        agents.append(Agent())
        assert wait_until(lambda: opens() == before + 1, 20)
        assert agents[1].end("close") == 0
        assert wait_until(lambda: opens() == before, 10), "the mixer stayed open"
    finally:
        for agent in agents:
            agent.kill()
        event.close()


def test_agent_started_before_the_event_wakes_it_and_on_a_newer_version_wakes_nobody(
        mixer_machine):
    started_before_the_service = Agent()
    event = ServiceEvent()
    newer = None
    try:
        simmixer("volume", 2345)
        assert wait_until(lambda: event.sets == 1, 10), "the event made later was never set"
        assert started_before_the_service.end("quit") == 0

        # Only the version changes: the simulated mixer is still the agent's winmm, so a
        # mixer it opened would show.
        wine("reg", "delete", APP_DEFAULTS + r"\Quenlit.exe", "/v", "Version", "/f", check=True)
        calls = int(simmixer("status")["mixer_open_calls"])
        newer = Agent()
        simmixer("volume", 3456)
        assert not wait_until(lambda: event.sets > 1, 2), "the agent on a newer system woke it"
        assert int(simmixer("status")["mixer_open_calls"]) == calls
        assert newer.end("quit") == 0
    finally:
        for agent in (started_before_the_service, newer):
            if agent:
                agent.kill()
        event.close()
