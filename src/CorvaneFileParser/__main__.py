from CorvaneFileParser.ReportAssembler import main

raise SystemExit(main())
