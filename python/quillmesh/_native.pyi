# The package's private extension: helpers the package calls; not a public
# interface.
from _typeshed import ReadableBuffer

def verify_tree(data: ReadableBuffer, /) -> None: ...
