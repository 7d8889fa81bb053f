from CorvaneFileParser.ReportAssembler import main

main()
