"""Imports zarnu and prints its version."""
import zarnu

print("zarnu", zarnu.__version__)
