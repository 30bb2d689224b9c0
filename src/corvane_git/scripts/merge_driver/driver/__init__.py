"""driver"""
