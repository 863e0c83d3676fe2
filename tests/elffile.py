"""The few facts of a 64-bit little-endian ELF file that the tests check:
the processor it is for (e_machine), its section names, the libraries it
needs (DT_NEEDED), the symbol versions it needs from each (.gnu.version_r)
and the program interpreter of an executable (PT_INTERP). Read with the
standard library only, so that a venv without binutils can check a wheel."""

import struct

SHT_DYNAMIC = 6
SHT_GNU_VERNEED = 0x6FFFFFFE
DT_NULL = 0
DT_NEEDED = 1
PT_INTERP = 3
# e_machine values, by the processor names of wheel platform tags.
MACHINES = {"x86_64": 62, "aarch64": 183}


class ElfFile:
    def __init__(self, data):
        if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
            raise ValueError("not a 64-bit little-endian ELF file")
        self.data = data
        self.machine, = struct.unpack_from("<H", data, 0x12)
        shoff, = struct.unpack_from("<Q", data, 0x28)
        shentsize, shnum, shstrndx = struct.unpack_from("<HHH", data, 0x3A)
        self.sections = [
            struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize)
            for i in range(shnum)]
        names_offset = self.sections[shstrndx][4]
        self.section_names = [self._string(names_offset, s[0])
                              for s in self.sections]

    def _string(self, table_offset, index):
        start = table_offset + index
        return self.data[start:self.data.index(b"\0", start)].decode()

    def _sections_of_type(self, sh_type):
        return [s for s in self.sections if s[1] == sh_type]

    def needed(self):
        """The DT_NEEDED library names, in order."""
        names = []
        for _, _, _, _, offset, size, link, _, _, _ in self._sections_of_type(SHT_DYNAMIC):
            strtab = self.sections[link][4]
            for pos in range(offset, offset + size, 16):
                tag, value = struct.unpack_from("<qQ", self.data, pos)
                if tag == DT_NULL:
                    break
                if tag == DT_NEEDED:
                    names.append(self._string(strtab, value))
        return names

    def version_needs(self):
        """{library: {version name, ...}} from the version-needed table."""
        needs = {}
        for _, _, _, _, offset, _, link, count, _, _ in self._sections_of_type(SHT_GNU_VERNEED):
            strtab = self.sections[link][4]
            entry = offset
            for _ in range(count):
                _, n_aux, file_name, aux, next_entry = struct.unpack_from(
                    "<HHIII", self.data, entry)
                versions = needs.setdefault(self._string(strtab, file_name), set())
                aux_entry = entry + aux
                for _ in range(n_aux):
                    _, _, _, name, next_aux = struct.unpack_from(
                        "<IHHII", self.data, aux_entry)
                    versions.add(self._string(strtab, name))
                    aux_entry += next_aux
                entry += next_entry
        return needs

    def interpreter(self):
        """The program interpreter (dynamic loader) path, or None."""
        phoff, = struct.unpack_from("<Q", self.data, 0x20)
        phentsize, phnum = struct.unpack_from("<HH", self.data, 0x36)
        for i in range(phnum):
            p_type, _, p_offset, _, _, p_filesz = struct.unpack_from(
                "<IIQQQQ", self.data, phoff + i * phentsize)
            if p_type == PT_INTERP:
                return self.data[p_offset:p_offset + p_filesz].rstrip(b"\0").decode()
        return None
