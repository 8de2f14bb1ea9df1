"""PyAtomDatabase.get_molecules_flat: training batches as concatenated NumPy arrays."""

import json
import os
import re
import shutil
import struct
import zlib

import numpy as np
import pytest

from kestrove import PyAtomDatabase, PyMolecule, _molecule_from_pickle_bytes

DATA_START = 2 * 4096
KINDS = ["none", "lz4", "zstd"]


def make_molecule(seed, dtype=np.float32, forces=True, text=None, vec=True):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 7))
    fields = dict(energy=float(rng.standard_normal()), cell=rng.standard_normal((3, 3)),
                  pbc=(True, False, bool(seed % 2)))
    if forces:
        fields["forces"] = rng.standard_normal((n, 3)).astype(dtype)
    mol = PyMolecule(rng.standard_normal((n, 3)).astype(dtype),
                     rng.integers(1, 90, n).astype(np.uint8), **fields)
    if vec:  # a per-molecule array: its stored schema entry never equals its flat column
        mol.set_property("vec", rng.standard_normal(4))
    if text is not None:
        mol.set_property("label", text)
    return mol


def expected_flat(molecules, indices):
    ms = [molecules[i].to_owned() for i in indices]
    return {
        "n_atoms": np.array([len(m.atomic_numbers) for m in ms], np.uint32),
        "positions": np.concatenate([m.positions for m in ms]),
        "atomic_numbers": np.concatenate([m.atomic_numbers for m in ms]),
        "energy": np.array([m.energy for m in ms]),
        "forces": np.concatenate([m.forces for m in ms]),
        "cell": np.stack([m.cell for m in ms]),
        "pbc": np.array([m.pbc for m in ms]),
        "vec": np.concatenate([m.get_property("vec") for m in ms]),
    }


def assert_flat(got, want):
    got = dict(got)
    assert got.pop("properties")["vec"].tobytes() == want.pop("vec").tobytes()
    assert sorted(got) == sorted(want)
    for key, value in want.items():
        assert got[key].dtype == value.dtype, key
        assert got[key].shape == value.shape, key
        assert got[key].tobytes() == value.tobytes(), key


def patch(path, edit):
    data = bytearray(open(path, "rb").read())
    edit(data)
    open(path, "wb").write(data)


def without_schema_lock(data):
    # Both header slots stop naming the schema-lock blob (offset and length at 60, Adler-32 last).
    for slot in (0, 4096):
        data[slot + 60:slot + 76] = bytes(16)
        struct.pack_into("<I", data, slot + 4092, zlib.adler32(bytes(data[slot:slot + 4092])))


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("road", ["created", "mmap", "file"])
@pytest.mark.parametrize("kind", KINDS)
def test_flat_batches_match_the_molecules(db_path, create_db, kind, road, dtype):
    molecules = [make_molecule(seed, dtype) for seed in range(8)]
    db = create_db(db_path, molecules, kind)
    if road != "created":
        db = PyAtomDatabase.open(db_path, mmap=(road == "mmap"))
    for indices in ([2, 0, 2], [7], list(range(8)), np.array([5, 1, 5, 3])):
        got = db.get_molecules_flat(indices)
        assert list(got)[:3] == ["n_atoms", "positions", "atomic_numbers"]
        assert "atom_properties" not in got
        assert_flat(got, expected_flat(molecules, list(indices)))
    empty = db.get_molecules_flat([])
    assert list(empty) == ["n_atoms", "positions", "atomic_numbers"]
    assert [(a.dtype, a.shape) for a in empty.values()] == [
        (np.uint32, (0,)), (np.float32, (0, 3)), (np.uint8, (0,))]


def test_arguments_bounds_and_borrows(db_path, create_db):
    create_db(db_path, [make_molecule(seed) for seed in range(4)])
    # Record 0 made unreadable: the bounds are checked before any record is read.
    patch(db_path, lambda d: d.__setitem__(slice(DATA_START, DATA_START + 4), b"\xff" * 4))
    db = PyAtomDatabase.open(db_path, mmap=False)
    with pytest.raises(ValueError, match=r"^Invalid data: Index 4 out of bounds$"):
        db.get_molecules_flat([0, 4])
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        db.get_molecules_flat("01")
    with pytest.raises(OverflowError):
        db.get_molecules_flat([-1])

    class WritingIndex:
        def __index__(self):
            db.add_molecule(make_molecule(9))
            return 1

    with pytest.raises(RuntimeError, match="Already borrowed"):
        db.get_molecules_flat([1, WritingIndex()])
    assert len(db) == 4


def test_missing_fields_and_texts_choose_the_mode(tmp_path, create_db):
    path = str(tmp_path / "db.kstv")
    molecules = [make_molecule(0), make_molecule(1, forces=False, text="first"),
                 make_molecule(2, text="drüben"), make_molecule(3)]
    create_db(path, molecules)
    db = PyAtomDatabase.open(path)
    # The first record holds forces but not the label: the stored schema differs, keyed mode.
    got = db.get_molecules_flat([0, 1, 2, 3])
    assert got["properties"]["label"] == [None, "first", "drüben", None]
    n = got["n_atoms"]
    assert not got["forces"][n[0]:n[0] + n[1]].any()
    assert got["forces"][:n[0]].tobytes() == molecules[0].forces.tobytes()
    # Without a stored schema, positional mode over the first record refuses a shorter one.
    path = str(tmp_path / "positional.kstv")
    create_db(path, [make_molecule(1, forces=False, vec=False), make_molecule(2, vec=False)])
    patch(path, without_schema_lock)
    db = PyAtomDatabase.open(path)
    with pytest.raises(ValueError, match=r"SOA schema mismatch for molecule 1: expected \d+ "):
        db.get_molecules_flat([1, 0])


@pytest.mark.parametrize("mmap", [True, False])
def test_mixed_field_batches_read_alike_in_any_order(db_path, mmap):
    db = PyAtomDatabase(db_path)
    p, z = np.zeros((2, 3, 3), np.float32), np.ones((2, 3), np.uint8)
    db.add_arrays_batch(p, z, energy=np.array([1.0, 2.0]))  # rows 0 and 1: no forces
    db.add_arrays_batch(p + 1, z, energy=np.array([3.0, 4.0]),
                        forces=np.full((2, 3, 3), 7, np.float32))
    db.flush()
    db = PyAtomDatabase.open(db_path, mmap=mmap)
    rows = [db.get_molecules_flat([i]) for i in range(4)]
    for indices in ([0, 2], [2, 0], [2, 3, 1, 0], [3, 0, 3], [1, 2]):
        got = db.get_molecules_flat(indices)
        assert sorted(got) == sorted(rows[0])
        for key, value in got.items():
            want = np.concatenate([rows[i][key] for i in indices])
            assert (value.dtype, value.tobytes()) == (want.dtype, want.tobytes()), (indices, key)

    def rename_energy_of_record_1(data):
        at = [m.start() for m in re.finditer(rb"energy", data)][1]
        data[at:at + 6] = b"enerxy"

    # A section that keyed mode refuses is refused in either order.
    patch(db_path, rename_energy_of_record_1)
    db = PyAtomDatabase.open(db_path, mmap=mmap)
    for indices, m in (([2, 1], 1), ([1, 2], 0)):
        with pytest.raises(ValueError, match=f"^Invalid data: Unexpected SOA section 'enerxy' "
                                             f"in molecule {m}$"):
            db.get_molecules_flat(indices)


@pytest.mark.parametrize("kind", KINDS)
def test_highly_compressible_records_are_read(db_path, kind):
    # 39 MB of atoms at the origin and 32 MB of zeros, which zstd stores in about 10 kB.
    db = PyAtomDatabase(db_path, kind)
    db.add_molecule(PyMolecule(np.zeros((3_000_000, 3), np.float32), np.ones(3_000_000, np.uint8)))
    small = [PyMolecule(np.zeros((1, 3), np.float32), np.ones(1, np.uint8)) for _ in range(2)]
    small[0].set_property("z", np.zeros(4_000_000))
    db.add_molecules(small)
    db.flush()
    for mmap in (True, False):
        reader = PyAtomDatabase.open(db_path, mmap=mmap)
        # Record 2 lacks "z", whose slot is far longer than record 2 itself.
        for indices, atoms in (([1, 0, 2], 3_000_002), ([2], 1)):
            got = reader.get_molecules_flat(indices)
            assert got["positions"].shape == (atoms, 3) and not got["positions"].any()
            assert got["properties"]["z"].shape == (4_000_000 * len(indices),)
            assert not got["properties"]["z"].any()


@pytest.mark.parametrize("replace", ["os.replace", "overwrite"])
def test_a_path_replaced_under_an_open_reader_changes_nothing(tmp_path, create_db, replace):
    path, other = str(tmp_path / "db.kstv"), str(tmp_path / "other.kstv")
    rng = np.random.default_rng(0)
    # Records longer than the file that takes the path.
    create_db(path, [PyMolecule(rng.standard_normal((1000, 3)).astype(np.float32),
                                np.ones(1000, np.uint8), energy=float(i)) for i in range(3)])
    reader = PyAtomDatabase.open(path)
    before = reader.get_molecules_flat([2, 0])
    if replace == "os.replace":
        create_db(other, [make_molecule(0)])
        os.replace(other, path)
    else:
        PyAtomDatabase(path, overwrite=True)
    after = reader.get_molecules_flat([2, 0])
    assert {k: v.tobytes() for k, v in after.items()} == {k: v.tobytes() for k, v in before.items()}


def entry_at(data, index):
    """Where index entry `index` lies: the index blob of the slot that names one, past its count."""
    index_at = max(struct.unpack_from("<Q", data, slot + 24)[0] for slot in (0, 4096))
    return index_at + 8 + 20 * index


def forge_entry(index, declared=None, expansion=None):
    """Entry `index` declares `declared` record bytes, or the most its stored bytes can expand to,
    and as many atoms as that many bytes could hold."""
    def edit(data):
        at = entry_at(data, index)
        size = declared or struct.unpack_from("<I", data, at + 8)[0] * expansion
        struct.pack_into("<II", data, at + 12, size, (size - 6) // 13)
    return edit


def forge_vec_slot(data):
    # The schema-lock entry of "vec": kind, tag, per-atom flag, key length, elem, slot, key.
    entry = b"\x02\x03\x00\x03\x00" + struct.pack("<II", 8, 32) + b"vec"
    struct.pack_into("<I", data, data.rindex(entry) + 9, 40_000_000)


@pytest.mark.parametrize("kind, expansion", [("lz4", 255), ("zstd", 32768)])
def test_forged_sizes_are_refused_before_they_size_a_buffer(
        tmp_path, create_db, run_python, kind, expansion):
    rng = np.random.default_rng(0)
    molecules = [PyMolecule(rng.standard_normal((8, 3)).astype(np.float32), np.ones(8, np.uint8),
                            forces=rng.standard_normal((8, 3)).astype(np.float32))
                 for _ in range(200)]
    for mol in molecules:
        mol.set_property("vec", np.zeros(4))
    entries, slot = str(tmp_path / "entries.kstv"), str(tmp_path / "slot.kstv")
    for path in (entries, slot):
        create_db(path, molecules, kind)  # records of a few hundred bytes
    patch(entries, forge_entry(1, 0xFFFFFFF0))
    patch(entries, forge_entry(2, expansion=expansion))
    patch(slot, forge_entry(150, 0xFFFFFFF0))  # not requested, yet it bounds every slot
    patch(slot, forge_vec_slot)
    data = open(entries, "rb").read()
    most = struct.unpack_from("<I", data, entry_at(data, 2) + 16)[0]
    cases = [
        (entries, True, [0, 1],
         "Index entry of molecule 1 declares 330382098 atoms that its record cannot hold"),
        (entries, True, [0, 1, 1],
         "Index entry of molecule 1 declares 330382098 atoms that its record cannot hold"),
        # Sized as far as the stored bytes could hold: allocated, yet its zero rows are never
        # written, and refused as it is filled.
        (entries, True, [0] + [2] * 64, f"Molecule 1 holds 8 atoms but its index entry says {most}"),
        (slot, True, list(range(10)), "Section 'vec' payload length overflow"),
        (slot, False, list(range(10)), "Section 'vec' payload length overflow"),
    ]
    result = run_python("""
        import json, resource, sys
        from kestrove import PyAtomDatabase
        cases = json.loads(sys.argv[1])
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        for path, mmap, indices, _ in cases:
            try:
                PyAtomDatabase.open(path, mmap=mmap).get_molecules_flat(indices)
            except ValueError as error:
                print(error)
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
        """, json.dumps(cases))
    *messages, grown_kib = result.stdout.splitlines()
    assert messages == [f"Invalid data: {message}" for *_, message in cases], result.stderr
    assert int(grown_kib) < 32 * 1024, "buffers sized from forged lengths, or zero rows committed"


@pytest.mark.parametrize("mmap", [True, False])
def test_an_earlier_failure_is_reported_before_a_record_refused_up_front(db_path, create_db, mmap):
    mol = PyMolecule(np.ones((1, 3), np.float32), np.array([6], np.uint8))
    mol.set_property("vec", np.zeros(4))
    create_db(db_path, [mol, make_molecule(1), make_molecule(2)])
    patch(db_path, more_atoms_in_record_0)  # found as record 0 is filled
    patch(db_path, lambda d: struct.pack_into("<Q", d, entry_at(d, 1), 1 << 40))  # not in the map
    patch(db_path, lambda d: struct.pack_into("<I", d, entry_at(d, 2) + 16, 1_000_000))
    db = PyAtomDatabase.open(db_path, mmap=mmap)
    holds = "Molecule 0 holds 2 atoms but its index entry says 1"
    cases = [([0, 2], holds), ([2, 0], "Index entry of molecule 2 declares 1000000 atoms")]
    if mmap:
        cases += [([0, 1], holds), ([1, 0], "Missing mmap bytes for molecule 1")]
    for indices, message in cases:
        with pytest.raises(ValueError, match=f"^Invalid data: {message}"):
            db.get_molecules_flat(indices)


def test_pbc_flags_are_true_for_any_nonzero_stored_byte(db_path, create_db):
    create_db(db_path, [PyMolecule(np.zeros((1, 3), np.float32), np.ones(1, np.uint8),
                                   pbc=(False, True, True))])
    header = struct.pack("<BB3sBI", 0, 3, b"pbc", 9, 3)

    def stored_as_0_2_1(data):
        at = data.index(header) + len(header)
        data[at:at + 3] = b"\0\2\1"

    patch(db_path, stored_as_0_2_1)
    for mmap in (True, False):
        got = PyAtomDatabase.open(db_path, mmap=mmap).get_molecules_flat([0, 0])["pbc"]
        assert got.tolist() == [[False, True, True]] * 2


def test_first_failing_position_is_reported(db_path, create_db):
    molecules = [make_molecule(seed, forces=seed not in (2, 5, 9), vec=False) for seed in range(12)]
    molecules[0].set_property("label", "x")  # keeps the first record equal to the stored schema
    for m in molecules[1:]:
        m.set_property("label", "y")
    create_db(db_path, molecules)
    patch(db_path, without_schema_lock)  # mismatches stay failures in positional mode
    db = PyAtomDatabase.open(db_path)
    indices = [0, 1] + [3, 4] * 500 + [2] + [6] * 500 + [5, 9] * 200
    for _ in range(20):
        with pytest.raises(ValueError, match=r"for molecule 1002: expected"):
            db.get_molecules_flat(indices)


def more_atoms_in_record_0(data):
    data[DATA_START:DATA_START + 4] = b"\x02\0\0\0"


def more_atoms_in_entry_0(data):
    # Size and count both forged: the count fits the claimed size but not the file.
    entry = data.index(struct.pack("<Q", DATA_START), DATA_START)
    struct.pack_into("<II", data, entry + 12, 0xFFFFFFFF, 1_000_000)


@pytest.mark.parametrize("mmap", [True, False])
@pytest.mark.parametrize("edit, message", [
    (more_atoms_in_record_0, "Molecule 1 holds 2 atoms but its index entry says 1"),
    (more_atoms_in_entry_0,
     "Index entry of molecule 0 declares 1000000 atoms that its record cannot hold"),
])
def test_record_and_index_entry_disagreeing_on_atoms_is_refused(
        db_path, create_db, mmap, edit, message):
    mol = PyMolecule(np.ones((1, 3), np.float32), np.array([6], np.uint8))
    mol.set_property("vec", np.zeros(4))  # parses as zero sections once the count says 2
    create_db(db_path, [mol, make_molecule(1)])
    patch(db_path, edit)
    db = PyAtomDatabase.open(db_path, mmap=mmap)
    with pytest.raises(ValueError, match=message):
        db.get_molecules_flat([1, 0])


def scalar_props_database(path, n=3):
    db = PyAtomDatabase(path)
    for i in range(n):
        m = PyMolecule(np.full((2, 3), i, np.float32), np.array([1, 2], np.uint8))
        m.set_property("positions", float(i))
        m.set_property("a", 1.0 + i)
        m.set_property("b", 10.0 + i)
        m.set_property("none", np.zeros(0))
        db.add_molecule(m)
    db.flush()
    return path


def test_sections_in_another_order_are_matched_by_key(db_path):
    path = scalar_props_database(db_path)

    def swap_in_record_1(data):
        # Record 1's sections "a" and "b" (16 bytes each, adjacent) change places.
        starts = [m.start() - 1 for m in re.finditer(rb"\x01a\x00\x08\0\0\0", bytes(data))]
        a = starts[1]
        data[a:a + 32] = data[a + 16:a + 32] + data[a:a + 16]

    patch(path, swap_in_record_1)
    got = PyAtomDatabase.open(path).get_molecules_flat([0, 1, 2])
    assert got["properties"]["a"].tolist() == [1.0, 2.0, 3.0]
    assert got["properties"]["b"].tolist() == [10.0, 11.0, 12.0]
    # A per-molecule array stored with zero values is an empty array, not a list.
    assert got["properties"]["none"].dtype == np.float64
    assert got["properties"]["none"].shape == (0,)


def test_foreign_sections_are_skipped_and_unknown_tags_are_bytes(db_path):
    path = scalar_props_database(db_path)

    def foreign(data):
        blob = bytes(data)
        for m in re.finditer(rb"positions", blob):  # property "positions" becomes kind 0
            s = m.start()
            data[s - 2 if blob[s - 2:s] == b"\x02\x09" else s - 13] = 0
        for m in re.finditer(rb"\x01a\x00\x08\0\0\0", blob):  # "a" becomes kind 3
            data[m.start() - 1] = 3
        for m in re.finditer(rb"\x01b\x00\x08\0\0\0", blob):  # "b" gets tag 20
            data[m.start() + 2] = 20
        # The schema lock's entries: kind, tag, per-atom flag, then the key length at m.start().
        for m in re.finditer(rb"\x01\0\x08\0\0\0\x08\0\0\0a", blob):
            data[m.start() - 3] = 3
        for m in re.finditer(rb"\x01\0\x08\0\0\0\x08\0\0\0b", blob):
            data[m.start() - 2] = 20

    patch(path, foreign)
    # No writer of this system gives a section tag 20: a schema lock that says so is refused.
    with pytest.raises(ValueError, match="^Invalid data: Section 'b' has invalid type tag 20$"):
        PyAtomDatabase.open(path).get_molecules_flat([0, 2])
    # Without one, the columns are the first record's sections.
    patch(path, without_schema_lock)
    got = PyAtomDatabase.open(path).get_molecules_flat([0, 2])
    assert got["positions"].tolist() == [[0.0] * 3] * 2 + [[2.0] * 3] * 2
    assert "a" not in got["properties"]
    assert got["properties"]["b"].dtype == np.uint8
    assert got["properties"]["b"].tobytes() == np.array([10.0, 12.0]).tobytes()


@pytest.mark.parametrize("mmap", [True, False])
def test_threads_read_batches_at_once(db_path, create_db, in_threads, mmap):
    molecules = [make_molecule(seed) for seed in range(16)]
    create_db(db_path, molecules)
    db = PyAtomDatabase.open(db_path, mmap=mmap)

    def read(seed):
        rng = np.random.default_rng(seed)
        for _ in range(40):
            indices = rng.integers(0, 16, 32)
            assert_flat(db.get_molecules_flat(indices), expected_flat(molecules, indices))

    in_threads(read)


def forge_slot(key, slot, tag=None):
    """The schema-lock entry of `key` (kind, tag, per-atom flag, u16 key length, u32 elem, u32
    slot, key) declares `slot` bytes per molecule, and type tag `tag` when given."""
    def edit(data):
        entry = re.escape(struct.pack("<H", len(key))) + b".{8}" + re.escape(key.encode())
        at = [m.start() for m in re.finditer(entry, data, re.S)][-1]  # the lock follows the records
        struct.pack_into("<I", data, at + 6, slot)
        if tag is not None:
            data[at - 2] = tag
    return edit


def read_in_child(run_python, cases, address_space=False):
    """Reads each (path, mmap, indices) case in one fresh interpreter; returns what each gave (its
    error, or the dtype, shape and non-zero count of each custom property) and the growth of the
    peak resident memory in KiB. With `address_space`, the child may map only 1 GiB more than it
    holds when it starts, so that a buffer sized from a forged count cannot go unnoticed."""
    result = run_python("""
        import json, os, resource, sys
        import numpy as np
        from kestrove import PyAtomDatabase
        if sys.argv[2] == "True":
            os.environ["RAYON_NUM_THREADS"] = "2"  # few thread stacks and arenas under the limit
            vm = next(int(line.split()[1]) for line in open("/proc/self/status")
                      if line.startswith("VmSize:"))
            resource.setrlimit(resource.RLIMIT_AS, ((vm << 10) + (1 << 30),) * 2)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        for path, mmap, indices in json.loads(sys.argv[1]):
            try:
                got = PyAtomDatabase.open(path, mmap=mmap).get_molecules_flat(indices)
                print({k: (v.dtype.name, v.shape, int(np.count_nonzero(v)))
                       for k, v in got.get("properties", {}).items()})
            except (ValueError, MemoryError) as error:
                print(f"{type(error).__name__}: {error}")
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
        """, json.dumps(cases), address_space)
    lines = result.stdout.splitlines()
    assert len(lines) == len(cases) + 1, result.stderr
    return lines[:-1], int(lines[-1])


@pytest.mark.parametrize("kind", KINDS)
def test_entries_past_the_end_of_the_file_bound_no_slot(db_path, create_db, run_python, kind):
    create_db(db_path, [make_molecule(seed, vec=seed == 2) for seed in range(3)], kind)
    # The one record that holds "vec" now ends 4 GiB past the end of the file: it holds nothing,
    # and bounds no slot.
    patch(db_path, lambda d: struct.pack_into("<II", d, entry_at(d, 2) + 8, *[0xFFFFFFFF] * 2))
    patch(db_path, forge_slot("vec", 300_000_000))
    cases = [(db_path, mmap, [0, 1]) for mmap in (True, False)]
    lines, grown_kib = read_in_child(run_python, cases)
    assert lines == ["ValueError: Invalid data: Section 'vec' payload length overflow"] * 2
    assert grown_kib < 32 * 1024


def test_a_forged_boolean_slot_is_refused_before_it_sizes_a_buffer(db_path, run_python):
    db = PyAtomDatabase(db_path, "zstd")
    molecules = [PyMolecule(np.zeros((1, 3), np.float32), np.ones(1, np.uint8)) for _ in range(2)]
    molecules[0].set_property("vec", np.zeros(4))
    db.add_molecules(molecules)
    db.flush()
    # Record 0 declares as much as its few stored bytes can expand to, and bounds a slot as long:
    # a column of boolean triples, of more than the 1 GiB the child may map for 1200 molecules.
    patch(db_path, forge_entry(0, expansion=32768))
    data = open(db_path, "rb").read()
    slot = struct.unpack_from("<I", data, entry_at(data, 0) + 12)[0] // 3 * 3
    patch(db_path, forge_slot("vec", slot, tag=9))
    lines, _ = read_in_child(run_python, [(db_path, mmap, [1] * 1200) for mmap in (True, False)],
                             address_space=True)
    assert lines == [f"ValueError: Invalid data: Section 'vec' has invalid slot length {slot} "
                     f"for type tag 9"] * 2


@pytest.mark.parametrize("dtype, tags", [(np.float32, (11, 12)), (np.float64, (0, 10))])
def test_fixed_builtin_fields_keep_their_shape(tmp_path, dtype, tags):
    path = str(tmp_path / "db.kstv")
    db = PyAtomDatabase(path)
    db.add_arrays_batch(np.zeros((1, 1, 3), np.float32), np.ones((1, 1), np.uint8),
                        energy=np.full(1, 2, dtype), cell=np.ones((1, 3, 3), dtype),
                        stress=np.ones((1, 3, 3), dtype), pbc=np.ones((1, 3), bool))
    db.add_molecule(PyMolecule(np.zeros((1, 3), np.float32), np.ones(1, np.uint8)))
    db.flush()
    # Record 1 lacks every field that the stored schema names: keyed mode gives it zero rows.
    got = PyAtomDatabase.open(path).get_molecules_flat([1, 0])
    assert (got["energy"].dtype, got["energy"].tolist()) == (dtype, [0, 2])
    for key in ("cell", "stress"):
        assert (got[key].dtype, got[key].shape) == (dtype, (2, 3, 3))
        assert got[key].sum(axis=(1, 2)).tolist() == [0, 9]
    assert got["pbc"].tolist() == [[False] * 3, [True] * 3]
    # Twice the values of the field: as many extra rows for each molecule that lacks it.
    size = np.dtype(dtype).itemsize
    for key, slot, tag in (("energy", 2 * size, tags[0]), ("cell", 18 * size, tags[1]),
                           ("stress", 18 * size, tags[1]), ("pbc", 6, 9)):
        forged = str(tmp_path / f"{key}.kstv")
        shutil.copy(path, forged)
        patch(forged, forge_slot(key, slot))
        for mmap in (True, False):
            with pytest.raises(ValueError, match=f"^Invalid data: Section '{key}' has invalid slot "
                                                 f"length {slot} for type tag {tag}$"):
                PyAtomDatabase.open(forged, mmap=mmap).get_molecules_flat([1, 1])


@pytest.mark.parametrize("mmap", [True, False])
@pytest.mark.parametrize("key, tag, slot, refused", [
    ("energy", 7, 8, "tag"),  # a row of three float64 in a scalar's slot
    ("energy", 1, 8, "tag"),  # an int64 scalar of the same size
    ("cell", 0, 72, "tag"),  # nine float64 scalars in a matrix's slot
    ("pbc", 8, 12, "tag"),  # three int32
    ("charges", 0, 8, "tag"),  # per atom, a float64 scalar of the element's size
    ("temperature", 0, 16, "slot"),  # two float64 scalars per molecule
    ("temperature", 11, 8, "slot"),  # two float32 scalars
    ("temperature", 9, 6, "slot"),  # two boolean triples
    ("vec", 3, 12, "slot"),  # one and a half float64 elements
    ("charges", 3, 0, "slot"),  # per atom, a column never copied into: zeros for every atom
])
def test_forged_column_tags_and_slots_are_refused(db_path, mmap, key, tag, slot, refused):
    # Double-precision positions make record format 3, which admits either precision of a field.
    mol = PyMolecule(np.zeros((2, 3)), np.ones(2, np.uint8), energy=1.0, cell=np.eye(3),
                     pbc=(True, False, True), charges=np.ones(2))
    mol.set_property("temperature", 300.0)
    mol.set_property("vec", np.ones(4))
    db = PyAtomDatabase(db_path)
    db.add_molecules([mol, PyMolecule(np.zeros((1, 3)), np.ones(1, np.uint8))])
    db.flush()
    # Record 1 holds none of the sections: keyed mode sizes its rows from the columns alone.
    assert "vec" in PyAtomDatabase.open(db_path, mmap=mmap).get_molecules_flat([1])["properties"]
    patch(db_path, forge_slot(key, slot, tag))
    invalid = {"tag": f"type tag {tag}", "slot": f"slot length {slot} for type tag {tag}"}
    message = f"Section '{key}' has invalid {invalid[refused]}"
    with pytest.raises(ValueError, match=f"^Invalid data: {re.escape(message)}$"):
        PyAtomDatabase.open(db_path, mmap=mmap).get_molecules_flat([1, 1, 1])


def test_counts_are_checked_and_allocations_named_under_an_address_space_limit(
        tmp_path, create_db, run_python):
    forged = str(tmp_path / "forged.kstv")
    create_db(forged, [make_molecule(seed) for seed in range(3)])
    patch(forged, lambda d: struct.pack_into("<Q", d, entry_at(d, 2), 1 << 40))  # not in the map
    # Entry 0 declares more atoms than its record holds; the record refused after it must not
    # keep that count from being checked before the buffers are sized.
    cases = []
    for atoms in (4_294_967_280, 200_000_000):
        path = str(tmp_path / f"{atoms}.kstv")
        shutil.copy(forged, path)
        patch(path, lambda d: struct.pack_into("<I", d, entry_at(d, 0) + 16, atoms))
        cases.append((path, True, [0, 2], f"ValueError: Invalid data: Index entry of molecule 0 "
                                          f"declares {atoms} atoms that its record cannot hold"))
    # Valid batches larger than the limit: the MemoryError names what could not be sized.
    n, k = 100_000, 2000
    plain, forces = str(tmp_path / "plain.kstv"), str(tmp_path / "forces.kstv")
    create_db(plain, [PyMolecule(np.zeros((n, 3), np.float32), np.ones(n, np.uint8))])
    create_db(forces, [PyMolecule(np.zeros((n, 3), np.float32), np.ones(n, np.uint8),
                                  forces=np.zeros((n, 3), np.float32))])
    cases += [
        (plain, True, [0] * k,
         f"MemoryError: cannot allocate {12 * n * k} bytes for the positions of {n * k} atoms"),
        (forces, True, [0] * k,
         f"MemoryError: cannot allocate {12 * n * k} bytes for section 'forces' of {n * k} atoms"),
        (plain, False, [0] * k,
         f"MemoryError: cannot allocate {12 * n * k} bytes for the positions of {n * k} atoms"),
    ]
    lines, _ = read_in_child(run_python, [case[:3] for case in cases], address_space=True)
    assert lines == [case[3] for case in cases]


# ---------------------------------------------------------------------------------------------
# Schema-lock entries that no writer of this system makes

HOLDERS = {"forces": {0, 1, 2}, "charges": {0, 1, 2}, "pbc": {0, 1, 2},
           ("atom_properties", "q"): {0, 1, 2}, ("atom_properties", "p"): {7, 8},
           ("properties", "s"): {0, 1, 2, 3, 4}, ("properties", "label"): {0, 1, 2, 3, 4}}
REQUESTS = [list(range(9)), [0, 3, 5, 7], [8, 5, 3, 0], [3, 4], [5, 6], [6, 8]]


def with_atom_properties(mol, values):
    """`mol`, which has no custom properties, with per-atom ones: `values` maps each key to its
    value in the compact form (variant index, then value). An edited compact form is the only road
    by which an owned molecule gets them."""
    _, (data,) = mol.__reduce__()
    assert data.endswith(struct.pack("<QQ", 0, 0))
    entries = b"".join(struct.pack("<Q", len(key)) + key.encode() + value
                       for key, value in values.items())
    return _molecule_from_pickle_bytes(
        data[:-16] + struct.pack("<Q", len(values)) + entries + bytes(8))


def lock_database(path):
    """Molecules 0-2 hold forces, charges, pbc, a float "s", a text "label" and a per-atom float
    array "q"; molecules 3-4 only "s" and "label"; molecules 5-6 none of them; molecules 7-8, of
    one atom each, only a per-atom float "p"."""
    rng = np.random.default_rng(7)

    def arrays(batch, atoms):
        return (rng.standard_normal((batch, atoms, 3)).astype(np.float32),
                rng.integers(1, 90, (batch, atoms)).astype(np.uint8))

    db = PyAtomDatabase(path)
    db.add_arrays_batch(*arrays(3, 5), forces=rng.standard_normal((3, 5, 3)).astype(np.float32),
                        charges=rng.standard_normal((3, 5)), pbc=np.array([[1, 0, 1]] * 3, bool),
                        properties={"s": rng.standard_normal(3), "label": ["ab", "cd", "efg"]},
                        atom_properties={"q": rng.standard_normal((3, 5))})
    db.add_arrays_batch(*arrays(2, 4), properties={"s": rng.standard_normal(2),
                                                   "label": ["hi", "jk"]})
    db.add_arrays_batch(*arrays(2, 3))
    for p in (3.25, -0.5):
        positions, numbers = arrays(1, 1)
        molecule = PyMolecule(positions[0], numbers[0])
        db.add_molecule(with_atom_properties(molecule, {"p": struct.pack("<Id", 1, p)}))
    db.flush()


def lock_entry_at(data, key):
    """Where the current schema lock's entry of `key` lies: kind, tag, per-atom flag at +0, +1,
    +2; element and slot lengths (u32) at +5 and +9."""
    p = max(struct.unpack_from("<Q", data, slot + 60)[0] for slot in (0, 4096)) + 9
    while True:
        key_len = struct.unpack_from("<H", data, p + 3)[0]
        if data[p + 13:p + 13 + key_len] == key.encode():
            return p
        p += 13 + key_len


def forge_lock_entry(key, field, value):
    def edit(data):
        at = lock_entry_at(data, key)
        if field in ("elem", "slot"):
            struct.pack_into("<I", data, at + (5 if field == "elem" else 9), value)
        else:
            data[at + ("kind", "tag", "per_atom").index(field)] = value
    return edit


def column(flat, key):
    return flat.get(key[0], {}).get(key[1]) if isinstance(key, tuple) else flat.get(key)


def assert_sound(got, want, indices):
    """A flat read of a forged schema lock that raised nothing has a row per atom in every per-atom
    column and a row per molecule in every other one, and returns every value that a requested
    molecule holds as the unforged read does."""
    atoms = int(got["n_atoms"].sum())
    for key in ("n_atoms", "positions", "atomic_numbers"):
        assert got[key].tobytes() == want[key].tobytes()
    for key, value in got.items():
        if key not in ("atom_properties", "properties"):
            per_atom = key in ("positions", "atomic_numbers", "forces", "charges", "velocities")
            assert len(value) == (atoms if per_atom else len(indices)), key
    for key, value in got.get("atom_properties", {}).items():
        assert len(value) == atoms, key
    for key, value in got.get("properties", {}).items():
        assert len(value) == len(indices), key
    for key, holders in HOLDERS.items():
        if holders.intersection(indices):
            value, expected = column(got, key), column(want, key)
            assert type(value) is type(expected), key
            if isinstance(expected, list):
                assert value == expected, key
            else:
                assert (value.dtype, value.tobytes()) == (expected.dtype, expected.tobytes()), key


# Each entry must be one that this system's writers give: an entry that disagrees with its kind or
# its tag gave molecules that lack the section rows of another count, or read stored values as
# absent, on both roads and without an error.
@pytest.mark.parametrize("mmap", [True, False])
@pytest.mark.parametrize("key, field, value, message", [
    ("forces", "per_atom", 0, "per_atom flag 0"),
    ("charges", "per_atom", 0, "per_atom flag 0"),
    ("pbc", "per_atom", 1, "per_atom flag 1"),
    ("q", "per_atom", 0, "per_atom flag 0"),
    ("s", "kind", 1, "per_atom flag 0"),
    ("label", "kind", 1, "per_atom flag 0"),
    ("pbc", "kind", 1, "per_atom flag 0"),
    ("q", "tag", 13, "slot length 8 for type tag 13"),
    ("label", "slot", 2, "slot length 2 for type tag 2"),
    ("s", "per_atom", 1, "per_atom flag 1"),
    ("forces", "elem", 24, "element length 24 for type tag 4"),
])
def test_a_lock_entry_no_writer_makes_is_refused(tmp_path, mmap, key, field, value, message):
    path = str(tmp_path / "db.kstv")
    lock_database(path)
    patch(path, forge_lock_entry(key, field, value))
    db = PyAtomDatabase.open(path, mmap=mmap)
    for indices in REQUESTS:
        with pytest.raises(ValueError, match=f"^Invalid data: Section '{key}' has invalid "
                                             f"{re.escape(message)}$"):
            db.get_molecules_flat(indices)


# Single-byte forgeries of each entry's kind, tag and per_atom flag (at +0, +1, +2) and of its
# element and slot lengths (u32 at +5 and +9): every value of the table, then 2,000 random ones.
# Each flat read either fails with a ValueError or is sound (`assert_sound`).
def test_lock_forgeries_read_soundly_or_fail(tmp_path):
    path, forged = str(tmp_path / "db.kstv"), str(tmp_path / "forged.kstv")
    lock_database(path)
    wanted = {(mmap, tuple(indices)): PyAtomDatabase.open(path, mmap=mmap).get_molecules_flat(
        indices) for mmap in (True, False) for indices in REQUESTS}
    original = open(path, "rb").read()
    keys = ["forces", "charges", "pbc", "q", "p", "s", "label"]
    table = {0: [0, 1, 2, 3, 255], 1: range(15), 2: [0, 1], 5: [0, 3, 4, 5, 8, 12, 24, 36, 72],
             9: [0, 2, 3, 4, 6, 8, 12, 16, 24, 40]}
    forgeries = [(key, at, value)
                 for key in keys for at, values in table.items() for value in values]
    rng = np.random.default_rng(42)
    forgeries += [(str(rng.choice(keys)), int(rng.choice([0, 1, 2, *range(5, 13)])),
                   int(rng.integers(256))) for _ in range(2000)]
    for key, at, value in forgeries:
        open(forged, "wb").write(original)
        patch(forged, lambda data: data.__setitem__(lock_entry_at(data, key) + at, value))
        for (mmap, indices), want in wanted.items():
            try:
                got = PyAtomDatabase.open(forged, mmap=mmap).get_molecules_flat(list(indices))
            except ValueError:
                continue
            try:
                assert_sound(got, want, indices)
            except AssertionError as error:
                raise AssertionError(f"{key} +{at}={value}, mmap={mmap}, {indices}") from error


# A per-atom text (only an empty one fits a section of one element per atom) has no flat column,
# and a per-atom slot of 0 fits only a record of no atoms. A request that holds molecule 1 is
# refused wherever the molecule stands and whichever layout the read takes: its stored value is
# never read as None or 0.0. Molecules without the section still read, as None or 0.0.
@pytest.mark.parametrize("mmap", [True, False])
@pytest.mark.parametrize("value, slot, message, absent", [
    (struct.pack("<IQ", 3, 0), None, "String section 't' cannot be per-atom in flat extraction",
     [None, None]),
    (struct.pack("<Id", 1, 3.25), 0, "Section 't' has invalid payload length 8 (expected 0)",
     [0.0, 0.0]),
], ids=["empty text", "float in a slot of 0"])
def test_per_atom_values_that_no_column_holds_are_refused(
        db_path, mmap, value, slot, message, absent):
    def one_atom():
        return PyMolecule(np.zeros((1, 3), np.float32), np.ones(1, np.uint8))

    db = PyAtomDatabase(db_path)
    db.add_molecules([one_atom(), with_atom_properties(one_atom(), {"t": value}), one_atom()])
    db.flush()
    if slot is not None:
        patch(db_path, forge_lock_entry("t", "slot", slot))
    db = PyAtomDatabase.open(db_path, mmap=mmap)
    for indices in ([1], [1, 0], [0, 1], [2, 0, 1]):
        with pytest.raises(ValueError, match=f"^Invalid data: {re.escape(message)}$"):
            db.get_molecules_flat(indices)
    assert list(db.get_molecules_flat([0, 2])["atom_properties"]["t"]) == absent
