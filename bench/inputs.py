"""Deterministic large inputs for bench/run.py and the long fuzz run."""

import json
import random
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"

GENES = ["TP53", "KRAS", "PIK3CA", "EGFR", "BRAF", "ERBB2", "APC", "PTEN", "ATM", "BRCA1",
         "BRCA2", "NRAS", "IDH1", "ARID1A", "KMT2D", "NOTCH1", "FGFR3", "CDKN2A", "SMAD4", "RB1"]
CONSEQUENCES = ["missense_variant", "synonymous_variant", "stop_gained", "frameshift_variant",
                "splice_region_variant", "inframe_deletion", "missense_variant&splice_region_variant"]
AMINO = ["Ala", "Arg", "Asn", "Asp", "Cys", "Gln", "Glu", "Gly", "His", "Ile", "Leu", "Lys",
         "Met", "Phe", "Pro", "Ser", "Thr", "Trp", "Tyr", "Val"]
BASES = "ACGT"

PANEL_HEAD = """[Header]
Report Type\tCombined variant output
Output Version\t2.1.0

[Analysis Details]
Sample ID\tBench1
Pair ID\tBench1
Pipeline Version\t3.4.2
Analysis Date\t2025-03-14
Reference Genome\tGRCh38
Panel\t500-gene solid tumour panel v2

[Sequencing Run Details]
Run Name\t250312_RUN0089_FLOWCELL7
Lane Count\t2

[TMB]
Total TMB\t12.71
Nonsynonymous TMB\t9.84
Coding Region Size in Megabases\t1.21
Number of Passing Eligible Variants\t15
Number of Passing Eligible Nonsynonymous Variants\t12

[MSI]
Usable MSI Sites\t118
Total Microsatellite Sites Unstable\t4
Percent Unstable Sites\t3.39

[Gene Amplifications]
Gene\tChromosome\tFold Change
ERBB2\tchr17\t4.86
MYC\tchr8\t2.31

[Fusions]
Gene Pair\tBreakpoint 1\tBreakpoint 2\tFusion Supporting Reads
EML4-ALK\tchr2:42299852\tchr2:29223528\t27

[Small Variants]
Gene\tChromosome\tGenomic Position\tReference Call\tAlternative Call\tAllele Frequency\tDepth\tP-Dot Notation\tC-Dot Notation\tConsequence(s)\tAffected Exon(s)
"""


def panel_row(rng):
    gene = rng.choice(GENES)
    ref, alt = rng.sample(BASES, 2)
    codon = rng.randint(1, 2000)
    return "\t".join([
        gene,
        f"chr{rng.randint(1, 22)}",
        str(rng.randint(10_000, 248_000_000)),
        ref,
        alt,
        f"{rng.random():.3f}",
        str(rng.randint(20, 3000)),
        f"p.({rng.choice(AMINO)}{codon}{rng.choice(AMINO)})" if rng.random() < 0.8 else "",
        f"c.{codon * 3}{ref}>{alt}",
        rng.choice(CONSEQUENCES),
        f"{rng.randint(1, 30)}/{rng.randint(30, 40)}",
    ])


def write_panel(path, rows=200_000, seed=12):
    rng = random.Random(seed)
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(PANEL_HEAD)
        for _ in range(rows):
            f.write(panel_row(rng) + "\n")


def targeted_document(rng, variants=52_000, depths=225_000):
    def variant():
        pos = rng.randint(100, 2000)
        return {
            "hgvs": f"NM_000157.4:c.{pos}{rng.choice(BASES)}>{rng.choice(BASES)}",
            "name": f"p.{rng.choice(AMINO)}{pos // 3}{rng.choice(AMINO)}",
            "alleleCopyNumber": rng.randint(0, 3),
            "depth": rng.randint(10, 90),
            "vaf": round(rng.random(), 4),
            "filter": rng.choice(["PASS", "LowQ", "null", ""]),
        }

    return {
        "sampleId": "Bench1",
        "softwareVersion": "4.3.6",
        "smn": {
            "smn1CopyNumber": 1, "smn2CopyNumber": 3, "smn2Delta78CopyNumber": 0,
            "totalCopyNumber": 4, "fullLengthCopyNumber": 4, "smn1CopyNumberRaw": 1.0381,
            "variants": [variant() for _ in range(variants // 10)],
        },
        "gba": {
            "totalCopyNumber": 4,
            "deletionBreakpointInGene": False,
            "recombinantHaplotypes": [],
            "variants": [variant() for _ in range(variants)],
            "qc": {"medianDepth": 38.0, "status": "PASS",
                   "perExonDepth": [rng.randint(10, 90) for _ in range(depths)]},
        },
        "cyp2d6": {"genotype": "*4/*1", "copyNumber": {"total": 2, "exon9Hybrid": 0, "duplications": 0},
                   "haplotypeSupport": [{"allele": "*1", "reads": 18}], "filter": "PASS"},
        "cyp2b6": {"genotype": "*6/*1", "filter": "PASS", "variants": ["rs3745274", "rs2279343"]},
        "hba": {"genotype": "-a3.7/aa", "totalCopyNumber": 3, "hba1CopyNumber": 2, "hba2CopyNumber": 1,
                "deletions": ["-a3.7"],
                "readEvidence": {f"read{i}": rng.randint(0, 50) for i in range(depths // 3)}},
    }


def write_targeted(path, seed=13):
    rng = random.Random(seed)
    with open(path, "w", encoding="utf-8") as f:
        json.dump(targeted_document(rng), f, indent=4)


def write_batch(directory, files=500):
    """Copies of the example caller files under 500 distinct sample names."""
    templates = sorted(p for p in EXAMPLES.iterdir()
                       if p.suffix in (".tsv", ".json") and "combinedvariantoutput" not in p.name.lower())
    paths = []
    for i in range(files):
        template = templates[i % len(templates)]
        sample = f"S{i:03d}"
        name = template.name.replace("sample1", sample).replace("Sample1", sample)
        path = directory / name
        path.write_text(template.read_text(encoding="utf-8").replace("Sample1", sample), encoding="utf-8")
        paths.append(path)
    return paths


def generate(work):
    """Writes every input under `work` (reused when present); returns their paths."""
    work = Path(work)
    panel = work / "panel" / "Bench1.CombinedVariantOutput.tsv"
    targeted = work / "targeted" / "Bench1.targeted.json"
    for path in (panel, targeted):
        path.parent.mkdir(parents=True, exist_ok=True)
    if not panel.exists():
        write_panel(panel)
    if not targeted.exists():
        write_targeted(targeted)
    batch_dir = work / "batch"
    batch_dir.mkdir(exist_ok=True)
    return {"panel": panel, "targeted": targeted, "batch": write_batch(batch_dir)}


SHEET_COLUMNS = {"panel_tsv": "Sample1.CombinedVariantOutput.tsv", "smn_tsv": "sample1.smn.tsv",
                 "gba_tsv": "sample1.gba.tsv", "targeted_json": "sample1.targeted.json",
                 "paraphase_json": "sample1.paraphase.json"}


def write_sheet(directory, samples=500):
    """A sample sheet of `samples` samples, each with the five example caller files
    copied under its own name into directory/<sample>/; returns the sheet's path and
    [(sample, [file paths])]."""
    directory = Path(directory)
    texts = {column: (EXAMPLES / name).read_text(encoding="utf-8")
             for column, name in SHEET_COLUMNS.items()}
    lines = ["sample\t" + "\t".join(SHEET_COLUMNS)]
    listed = []
    for i in range(samples):
        sample = f"S{i:04d}"
        folder = directory / sample
        folder.mkdir(parents=True, exist_ok=True)
        paths = []
        for column, name in SHEET_COLUMNS.items():
            path = folder / name.replace("sample1", sample).replace("Sample1", sample)
            path.write_text(texts[column].replace("Sample1", sample), encoding="utf-8")
            paths.append(str(path))
        lines.append(sample + "\t" + "\t".join(paths))
        listed.append((sample, paths))
    sheet = directory / "samples.tsv"
    sheet.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return sheet, listed
