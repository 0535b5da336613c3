"""Run under callgrind: load a vorndal build from a path and call one function.

usage: python _callgrind_driver.py MODULE_PATH FUNCTION BATCH CALLS
(BATCH 0 calls FUNCTION with no argument.)
"""

import importlib.machinery
import importlib.util
import sys
import time
import uuid


def main() -> None:
    path, name, batch, calls = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    loader = importlib.machinery.ExtensionFileLoader("vorndal", path)
    location = importlib.util.spec_from_file_location("vorndal", path, loader=loader)
    module = importlib.util.module_from_spec(location)
    loader.exec_module(module)
    module._configure_uuid7(uuid.UUID, uuid.SafeUUID.unknown)
    function = getattr(module, name)
    if batch == 0:
        for _ in range(calls):
            function()
    else:
        arg = [time.time_ns() // 1_000_000] * batch if name == "_uuid7_at_many" else batch
        for _ in range(calls):
            function(arg)


main()
