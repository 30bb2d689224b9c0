"""git_wiring"""
