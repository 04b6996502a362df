"""Drivers for rfswitch-panel, the RF switch test board on a parallel port,
reached over the network (the raw SCPI socket or VXI-11).

rfswitch_panel.pymeasure.RFSwitchPanel is an instrument class for PyMeasure.
"""
