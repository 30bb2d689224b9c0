"""notebooks"""
