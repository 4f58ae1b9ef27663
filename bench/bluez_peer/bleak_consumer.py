'''The peer's side of the BlueZ peer benchmark: bleak's BleakScanner with a detection callback, on the system bus
(DBUS_SYSTEM_BUS_ADDRESS). Prints "ready" once scanning; then, for each line read on standard input,
"<advertisements> <CPU seconds of the process>".'''

import asyncio
import resource
import sys

from bleak import BleakScanner


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


async def main():
    count = 0

    def detected(_device, _advertisement):
        nonlocal count
        count += 1

    scanner = BleakScanner(detection_callback=detected)
    await scanner.start()
    print('ready', flush=True)
    loop = asyncio.get_running_loop()
    done = loop.create_future()

    def on_input():
        if sys.stdin.readline():
            print(count, cpu_seconds(), flush=True)
        elif not done.done():
            done.set_result(None)

    loop.add_reader(sys.stdin, on_input)
    await done


asyncio.run(main())
