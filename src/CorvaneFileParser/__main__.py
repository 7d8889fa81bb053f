from CorvaneFileParser.CommandLine import run_program

raise SystemExit(run_program())
