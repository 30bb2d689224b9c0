"""pages"""
