"""Key strings shared by the driver, its request and the reader configurations."""


class CorvaneConstants:
    # Request keys read by ReportAssembler.
    INPUT_DIR = "input_dir"
    OUTPUT_DIR = "output_dir"
    OUTPUT_JSON = "output_json"
    MAP_FILES = "MAP_FILES"
    # Key of a section configuration that holds its warning settings.
    WARNING_KEY = "warning"
