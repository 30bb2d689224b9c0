"""The merge as git runs it: its command line and report (invocation), the route over the
three files, component merge, plain merge, text merge (route), and what the driver adds
around merge_core on a component notebook (component_merge).  Above plain/ and conflicts/;
below the command."""
