"""conflicts"""
