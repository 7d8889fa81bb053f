"""Which reader reads a file (the kind given, else its name) and whether the files name the
run's sample."""

import json
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from CorvaneFileParser.ReportAssembler import ReportAssembler

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
SCRIPT = Path(sys.executable).parent / "corvane-parse"


def cli(tmp_path, *args):
    return subprocess.run([str(SCRIPT), "--output-dir", str(tmp_path), *map(str, args)],
                          capture_output=True, text=True, encoding="utf-8", timeout=120)


def placed(tmp_path, example, name):
    path = tmp_path / name
    path.parent.mkdir(parents=True, exist_ok=True)
    shutil.copy(EXAMPLES / example, path)
    return str(path)


@pytest.mark.parametrize("example, name, kind, key", [
    ("sample1.paraphase.json", "S1.longread.json", "paraphase", "PHASER_HBA"),
    ("sample1.targeted.json", "paraphase_batch/S1.json", "targeted", "TARGETED_SMN"),
])
def test_a_given_kind_wins_and_a_plainly_other_kind_is_refused(tmp_path, example, name, kind, key):
    path = placed(tmp_path, example, name)
    refused = cli(tmp_path, "--input-files", path)
    assert refused.returncode == 1 and refused.stderr.count("\n") == 1
    assert refused.stderr.startswith(f"corvane-parse: error: {path}: ")
    assert f"--input {kind} {path}" in refused.stderr
    read = cli(tmp_path, "--input", kind, path, "--output-json", "given.json")
    assert read.returncode == 0, read.stderr
    assert key in json.loads((tmp_path / "given.json").read_text())
    # Keys both kinds read tell nothing: the name decides.
    shared = tmp_path / "shared.json"
    shared.write_text(json.dumps({"gba": {"totalCopyNumber": 4}}))
    assert "TARGETED_GBA" in ReportAssembler({"input_files": [str(shared)]}).run(return_dict=True)


def test_an_unknown_kind_is_a_one_line_error(tmp_path):
    path = placed(tmp_path, "sample1.smn.tsv", "a.smn.tsv")
    result = cli(tmp_path, "--input", "smm", path)
    assert result.returncode == 2
    assert result.stderr == (f"corvane-parse: error: --input: Unknown input kind 'smm' for {path} "
                             "(kinds: panel, smn, gba, targeted, paraphase)\n")
    config = tmp_path / "run.json"
    config.write_text(json.dumps({"input_files": [path], "input_kinds": {path: "SMN"}}))
    result = cli(tmp_path, "-c", config)
    assert result.returncode == 2
    assert result.stderr.startswith(f"corvane-parse: error: Run configuration file {config}: Unknown input kind 'SMN'")
    missing = cli(tmp_path, "--input", "smn", tmp_path / "absent.smn.tsv", "--input-files", path, "--strict")
    assert missing.returncode == 1 and missing.stderr.endswith("absent.smn.tsv not found (strict run).\n")
    with pytest.raises(ValueError, match="Unknown input kind None"):
        ReportAssembler({"input_files": [path], "input_kinds": {path: None}}).run(return_dict=True)


def test_a_given_kind_reads_a_file_whatever_its_suffix(tmp_path):
    named = cli(tmp_path, "--input-dir", EXAMPLES, "--output-json", "named.json")
    assert named.returncode == 0, named.stderr
    files = {"panel": ("Sample1.CombinedVariantOutput.tsv", "S1.panel.txt"), "smn": ("sample1.smn.tsv", "S1.txt"),
             "gba": ("sample1.gba.tsv", "S1.gba.TXT"), "targeted": ("sample1.targeted.json", "S1.targeted"),
             "paraphase": ("sample1.paraphase.json", "S1.smn.TXT")}
    given = [arg for kind, (example, name) in files.items()
             for arg in ("--input", kind, placed(tmp_path / "in", example, name))]
    read = cli(tmp_path, *given, "--output-json", "given.json")
    assert read.returncode == 0, read.stderr
    assert (json.loads((tmp_path / "given.json").read_text())
            == json.loads((tmp_path / "named.json").read_text()))


PANEL = "[Analysis Details]\nPair ID\t{}\nDNA Sample ID\t{}\nRNA Sample ID\t{}\n[TMB]\nTotal TMB\t3\n"


@pytest.mark.parametrize("panel, targeted, sample, aliases, named", [
    (("S70", "S70_DNA", "NA"), "S70", "S70", [], True),
    (("0001", "S70.final", ""), "S70-b", "S70", [], True),  # any identifier; the prefix rule
    (("NA", "", "none"), None, "S70", [], True),  # nothing said
    (("S71", "S71_DNA", "S71_RNA"), "S71", "S70", [], False),
    (("S71", "S71_DNA", "S71_RNA"), "S71", "S70", ["S71"], True),
    (("S700", "S7", "S70x"), "S7", "S70", ["S7x"], False),  # no separator, no match
])
def test_files_must_name_the_sample(tmp_path, caplog, panel, targeted, sample, aliases, named):
    files = [tmp_path / "p.CombinedVariantOutput.tsv", tmp_path / "t.targeted.json"]
    files[0].write_text(PANEL.format(*panel))
    files[1].write_text(json.dumps({"sampleId": targeted, "smn": {"smn1CopyNumber": 2}}))
    request = {"input_files": list(map(str, files)), "sample": sample, "sample_aliases": aliases,
               "output_dir": str(tmp_path)}
    ReportAssembler(request).run()
    warned = [r.getMessage() for r in caplog.records if "names another sample" in r.getMessage()]
    if named:
        assert warned == []
        return
    assert warned == [f"{files[0]} names another sample than '{sample}': Pair ID '{panel[0]}', "
                      f"DNA Sample ID '{panel[1]}', RNA Sample ID '{panel[2]}'",
                      f"{files[1]} names another sample than '{sample}': sampleId '{targeted}'"]
    (tmp_path / "corvane_output.json").unlink()
    with pytest.raises(ValueError, match="names another sample.*strict run") as raised:
        ReportAssembler({**request, "strict": True}).run()
    assert f"while reading {files[0]}" in raised.value.__notes__
    assert not (tmp_path / "corvane_output.json").exists()


ROWS = ["S49", "S50_a", "S50.final", "S5", "S50"]


@pytest.mark.parametrize("rows, aliases, chosen", [
    (ROWS, [], "S50"),  # the ID itself first
    (ROWS, ["S50_a"], "S50"),
    (ROWS[:4], ["S50.final"], "S50.final"),  # then an alias
    (["S49", "S50.final", "S5"], [], "S50.final"),  # then the one row the prefix rule names
    (ROWS[:4], [], "2 rows may be sample 'S50' (S50_a, S50.final)"),
    (["S49", "S5", "S500"], [], "Sample 'S50' not found"),
])
def test_the_row_of_a_one_row_table(tmp_path, rows, aliases, chosen):
    path = tmp_path / "batch.smn.tsv"
    path.write_text("Sample\tSMN1_CN\n" + "".join(f"{row}\t{i}\n" for i, row in enumerate(rows)))
    driver = ReportAssembler({"input_files": [str(path)], "sample": "S50", "sample_aliases": aliases})
    if chosen not in rows:
        with pytest.raises(ValueError, match=re.escape(chosen)):
            driver.run(return_dict=True)
        return
    assert driver.run(return_dict=True)["SMN"]["data"] == {"Sample": chosen, "SMN1_CN": rows.index(chosen)}
