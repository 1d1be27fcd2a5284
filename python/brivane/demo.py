"""What the installed module can do so far: import it and start a runtime."""

import threading

import _brivane


def main() -> None:
    names = [n for n in dir(_brivane) if not n.startswith("_")]
    print("_brivane exports:", ", ".join(names) or "(nothing yet)")
    if hasattr(_brivane, "DatasetRuntime"):
        runtime = _brivane.DatasetRuntime(2)
        print("started", type(runtime).__name__, "with 2 workers;",
              threading.active_count(), "Python-visible threads")


if __name__ == "__main__":
    main()
