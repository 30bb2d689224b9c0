"""plain"""
