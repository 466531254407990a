"""Keyword, vector and hybrid search over the long descriptions of Debian's packages.

The descriptions come from apt's English description index on this machine (run as root, it
refreshes the lists with `apt-get update -o Acquire::Languages=en` when none is there). Vectors
are made by latent semantic analysis: a truncated SVD of the TF-IDF matrix (numpy and Debian's
python3-scipy), since no embedding model is at hand; a query's vector is its TF-IDF row
projected the same way. Then: a keyword search, a vector search and a hybrid search of one
question, each hit with its scores.

Usage: PYTHONPATH=python /usr/bin/python3 examples/package_search.py ["query text"]
(the library from $VEXRADB_LIBRARY or build/)."""

import glob
import math
import re
import subprocess
import sys
import time
from collections import Counter

import numpy as np
from scipy.sparse import csr_matrix
from scipy.sparse.linalg import svds

from vexradb import Client

LISTS = "/var/lib/apt/lists"
DIMENSIONS = 128
WORD = re.compile(r"[^\W_]+")


def translation_list():
    """The main component's Translation-en list of the release (not its updates)."""
    pattern = LISTS + "/*_dists_*_main_i18n_Translation-en*"
    found = [path for path in sorted(glob.glob(pattern))
             if "-updates_" not in path and "-security_" not in path]
    if not found:
        subprocess.run(["apt-get", "update", "-o", "Acquire::Languages=en"], check=True,
                       stdout=subprocess.DEVNULL)
        return translation_list()
    return found[0]


def load_descriptions():
    """{package: description}: the short description, then the long one as plain text."""
    text = subprocess.run(["/usr/lib/apt/apt-helper", "cat-file", translation_list()],
                          check=True, capture_output=True).stdout.decode("utf-8", "replace")
    descriptions = {}
    for record in text.split("\n\n"):
        package, lines = None, []
        for line in record.split("\n"):
            if line.startswith("Package: "):
                package = line[len("Package: "):].strip()
            elif line.startswith("Description-en: "):
                lines.append(line[len("Description-en: "):])
            elif line.startswith(" ") and lines:
                lines.append("" if line.strip() == "." else line.strip())
        if package and lines:
            descriptions[package] = "\n".join(lines)
    return descriptions


def words(text):
    return WORD.findall(text.lower())


class Lsa:
    """Latent semantic analysis: TF-IDF rows (sublinear counts, L2-normalised) projected on the
    top singular vectors of the corpus matrix."""

    def __init__(self, texts, dimensions=DIMENSIONS, min_documents=2):
        counts = [Counter(words(text)) for text in texts]
        frequency = Counter(term for count in counts for term in count)
        self.terms = {term: i for i, term in enumerate(
            sorted(term for term, n in frequency.items() if n >= min_documents))}
        self.idf = np.zeros(len(self.terms), dtype=np.float32)
        for term, i in self.terms.items():
            self.idf[i] = math.log(len(texts) / frequency[term])
        matrix = self._tfidf(counts)
        _, _, vt = svds(matrix, k=dimensions)
        self.basis = vt.T.astype(np.float32)  # terms x dimensions
        self.vectors = self._unit(matrix @ self.basis)

    def _tfidf(self, counts):
        rows, cols, values = [], [], []
        for row, count in enumerate(counts):
            for term, n in count.items():
                if term in self.terms:
                    rows.append(row)
                    cols.append(self.terms[term])
                    values.append((1 + math.log(n)) * self.idf[self.terms[term]])
        matrix = csr_matrix((values, (rows, cols)), shape=(len(counts), len(self.terms)),
                            dtype=np.float32)
        norms = np.sqrt(np.asarray(matrix.multiply(matrix).sum(axis=1))).ravel()
        norms[norms == 0] = 1
        return csr_matrix(matrix.multiply(1 / norms[:, None]))

    @staticmethod
    def _unit(vectors):
        norms = np.linalg.norm(vectors, axis=1, keepdims=True)
        norms[norms == 0] = 1
        return (vectors / norms).astype(np.float32)

    def embed(self, texts):
        return self._unit(self._tfidf([Counter(words(text)) for text in texts]) @ self.basis)


def main():
    question = sys.argv[1] if len(sys.argv) > 1 else "lossless compression of files"
    descriptions = load_descriptions()
    ids = list(descriptions)
    started = time.perf_counter()
    lsa = Lsa([descriptions[id] for id in ids])
    print("%d packages; vectors by LSA in %.1f s" % (len(ids), time.perf_counter() - started))
    with Client.open("", dimensions=DIMENSIONS, persistent=False) as db:
        db.upsert_batch(ids, lsa.vectors, [{"description": descriptions[id]} for id in ids])
        started = time.perf_counter()
        db.set_text_index(["description"])
        print("keyword index built in %.1f s" % (time.perf_counter() - started))
        query = lsa.embed([question])[0]
        print("\nkeyword search: %r" % question)
        for hit in db.text_search(question, 5):
            print("  %-32s BM25 %.2f" % (hit.id, hit.score))
        print("\nvector search:")
        for hit in db.search(query, 5):
            print("  %-32s distance %.3f" % (hit.id, hit.distance))
        print("\nhybrid search:")
        for hit in db.search(query, 5, text=question):
            print("  %-32s fused %.4f  vector rank %s  keyword rank %s"
                  % (hit.id, hit.score, hit.vector_rank, hit.text_rank))


if __name__ == "__main__":
    main()
