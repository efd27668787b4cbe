"""Another program's volume change until its Set volume frame is on the board, on the mixer
machine (the mixer's notification to the agent, the agent's event, the service's waiter and
its own read of the mixer) against the endpoint machine (the endpoint's change callback),
both in the same run, in alternating phases of the service on the simulated board at 9600
baud. Run by scripts/bench.sh inside the test bed."""
import statistics

from service_bench import BAUD, Hand, next_frame, settle, start_service_on
import conftest
from conftest import (BOARD_PORT, com_link, firmware, image_pids, install_on_board,
                      set_mixer_machine, simaudio, simmixer, stop_service, wait_until)
from avboard_sim import AvBoard

PHASES = 3
ROUNDS = 10
RANGE = 65535
TARGET = 1.3


def percent_of(raw):
    return (raw * 100 + RANGE - 1) // RANGE


def on_mixer_machine(board, on):
    stop_service()
    for image in ("Halvaro.exe", "Quenlit.exe"):
        set_mixer_machine(image, on)
    start_service_on(board, 0)
    if on:  # the agent has the mixer open: two opens, the service's and its own
        assert wait_until(lambda: len(image_pids("Quenlit.exe")) == 1, 10), "no agent"
        assert wait_until(lambda: int(simmixer("status")["open_handles"]) >= 2, 10)


def phase(hand, board, mixer, samples):
    missed = 0
    for r in range(ROUNDS):
        percent = 40 + 3 * r + (1 if mixer else 0)
        hand.sync()
        if mixer:
            raw = RANGE * percent // 100
            at = hand.local(hand.ask("mixer", raw)["at"])
            expected = percent_of(raw)
        else:
            at = hand.local(hand.ask("level", percent)["at"])
            expected = percent
        frame = next_frame(board, "set_volume")
        if frame is None or frame.value != expected:
            missed += 1
        else:
            samples.append((frame.t - at) * 1000)
        settle(board)
    return missed


def main():
    conftest.remove_service()
    simaudio("reset")
    simmixer("reset")
    firmware("reset")
    endpoint, mixer, missed = [], [], 0
    with AvBoard(com_link(BOARD_PORT), line_speed=True, baud=BAUD) as board:
        install_on_board(board, time_frame=0)
        hand = Hand()
        try:
            for _ in range(PHASES):
                on_mixer_machine(board, False)
                missed += phase(hand, board, False, endpoint)
                on_mixer_machine(board, True)
                missed += phase(hand, board, True, mixer)
        finally:
            hand.close()
            conftest.remove_service()
            for image in ("Halvaro.exe", "Quenlit.exe"):
                set_mixer_machine(image, False)
            simmixer("reset")
            simaudio("reset")
    base, timed = statistics.median(endpoint), statistics.median(mixer)
    ratio = timed / base
    print("Another program's volume change until its Set volume frame is on the board, "
          "mixer machine (agent, event, waiter)")
    print(f"  mixer     {timed:8.3f} ms median, max {max(mixer):7.3f} over {len(mixer)}"
          + (f", {missed} missed" if missed else ""))
    print(f"  baseline  {base:8.3f} ms median (the endpoint machine's callback, same run)")
    print(f"  ratio     {ratio:8.3f}   (target <= {TARGET}: "
          f"{'met' if ratio <= TARGET else 'MISSED'})")


if __name__ == "__main__":
    main()
