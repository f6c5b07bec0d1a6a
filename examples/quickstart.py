"""A tour of moxtile's in-memory filesystem and its little shell."""
import moxtile

fs = moxtile.PyFs()
fs.mkdir("/docs")
fs.touch("/docs/a.txt")

fh = fs.open("/docs/a.txt", "rw")
print("wrote", fh.write(b"hello"), "bytes")
print("read back", fh.read(5))  # also prints "Read 5 bytes from file"
fh.close()

print(fs.tree("/"), end="")
print(fs.listdir("/docs"))
print(fs)

if hasattr(moxtile, "PyTerm"):
    term = moxtile.PyTerm(fs)
    term.exec("cd docs")
    term.exec("touch 'b c.txt'")
    print(term.exec("ls"), end="")
    print(term.exec("pwd"))
