"""The notebook files: reading their shape whatever they hold (shape), their layout and the
atomic write of a merge (layout), and the names of temporary files (temporary).  The bottom
layer: of the package it uses only the extension (its atomic replace and temporary-name tag)."""
