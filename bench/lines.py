"""`async for line in f` over a cached 200 MiB UTF-8 file against `for line in open(p)`; see kestrelio.bench.lines."""

from kestrelio.bench.lines import main

if __name__ == "__main__":
    main()
