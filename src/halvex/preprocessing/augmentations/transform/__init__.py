"""Transform modules: morvane, dalmire, quenfor, brisel, orvetta."""
