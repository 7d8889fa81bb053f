"""Key strings shared by the driver, its request and the reader configurations."""


class CorvaneConstants:
    # Request keys read by ReportAssembler.
    INPUT_DIR = "input_dir"
    OUTPUT_DIR = "output_dir"
    OUTPUT_JSON = "output_json"
    MAP_FILES = "MAP_FILES"
    # Fail instead of warning on a missing listed file or a replaced section.
    STRICT = "strict"
    # The sample whose row a one-row caller table with several rows gives,
    # and whose ID the sample identifiers of every file must name.
    SAMPLE = "sample"
    # Other names of the sample (a list of str): a caller file may name it so.
    SAMPLE_ALIASES = "sample_aliases"
    # The kind of each listed file ({path: "panel" | "smn" | "gba" | "targeted"
    # | "paraphase"}); a given kind wins over the file's name.
    INPUT_KINDS = "input_kinds"
    # False: the output and manifest are not synced to disk one by one (a
    # caller writing many syncs the file system once).
    DURABLE = "durable"
    # Key of a section configuration that holds its warning settings.
    WARNING_KEY = "warning"
