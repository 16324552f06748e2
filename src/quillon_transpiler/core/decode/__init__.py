"""Decoding solver samples into records, and evaluating polynomials and energies."""
