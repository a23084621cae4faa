"""A small typed program using the decoder and the encoder."""
from __future__ import annotations

import sys
from typing import Any

import wexo
import wexo_native


def first_error(payloads: list[bytes]) -> tuple[int, str] | None:
    """The offset and message of the first payload that fails to decode."""
    for data in payloads:
        try:
            wexo_native.loads_binary(data)
        except wexo_native.WexoError as e:
            return e.offset, e.message
    return None


def main() -> int:
    rows: list[dict[str, Any]] = [{"id": i, "ok": i % 2 == 0} for i in range(3)]
    data = wexo.dumps(rows)
    back = wexo.loads(data)
    print(len(data), back == rows, first_error([data, data[:-1]]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
