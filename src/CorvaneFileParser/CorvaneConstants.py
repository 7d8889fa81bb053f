"""Key strings shared by the driver, its request and the reader configurations."""


class CorvaneConstants:
    # Request keys read by ReportAssembler.
    INPUT_DIR = "input_dir"
    OUTPUT_DIR = "output_dir"
    OUTPUT_JSON = "output_json"
    MAP_FILES = "MAP_FILES"
    # Fail instead of warning on a missing listed file or a replaced section.
    STRICT = "strict"
    # The sample whose row a one-row caller table with several rows gives.
    SAMPLE = "sample"
    # False: the output and manifest are not synced to disk one by one (a
    # caller writing many syncs the file system once).
    DURABLE = "durable"
    # Key of a section configuration that holds its warning settings.
    WARNING_KEY = "warning"
