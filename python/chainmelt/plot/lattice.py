"""A configuration of the exact lattice drawn as domains of gel and fluid
sites."""

from __future__ import annotations

import math
from typing import Any

import numpy as np
from matplotlib.collections import PolyCollection
from matplotlib.patches import Patch

from .base import axes_of

#: Colours of gel and fluid sites.
GEL_COLOUR = "#2f5d8a"
FLUID_COLOUR = "#f0b43c"


def lattice(snapshot: Any, ax: Any = None, title: str | None = None) -> Any:
    """Draws a configuration of the lattice as a hexagonal picture.

    Every site is a hexagon (its cell of the triangular lattice), gel and
    fluid in two colours.  Row y is shifted by y/2 sites and wrapped around
    periodically, so the picture is the lattice's rectangle rather than its
    rhombus.

    Parameters
    ----------
    snapshot : numpy.ndarray
        An L x L array of :func:`chainmelt.lattice.snapshot`, 1 fluid, 0 gel.
    ax : matplotlib.axes.Axes, optional
        The Axes to draw on (default: a new figure).
    title : str, optional
        The panel's title (default: the fluid fraction).

    Returns
    -------
    matplotlib.figure.Figure
        The figure drawn on (its panels are ``fig.axes``).

    Raises
    ------
    ValueError
        Not a square array of 0 and 1.
    """
    a = np.asarray(snapshot)
    if a.ndim != 2 or a.shape[0] != a.shape[1] or a.size == 0:
        raise ValueError("plot.lattice: expected an L x L array of a snapshot, got shape %s"
                         % (a.shape,))
    if not np.isin(a, (0, 1)).all():
        raise ValueError("plot.lattice: expected sites of 0 (gel) and 1 (fluid)")
    L = a.shape[0]
    ax = axes_of(ax)
    y, x = np.mgrid[0:L, 0:L]
    cx = (x + y // 2) % L + 0.5 * (y % 2)
    cy = y * (math.sqrt(3) / 2)
    # A site's cell: the hexagon with its corners towards the rows above and
    # below (neighbours in its own row are left and right).
    r = 1 / math.sqrt(3)
    angles = np.radians(30 + 60 * np.arange(6))
    corners = np.stack([r * np.cos(angles), r * np.sin(angles)], axis=1)
    centres = np.stack([cx.ravel(), cy.ravel()], axis=1)
    cells = centres[:, None, :] + corners[None, :, :]
    colours = np.where(a.ravel() == 1, FLUID_COLOUR, GEL_COLOUR)
    ax.add_collection(PolyCollection(cells, facecolors=colours, edgecolors="face",
                                     linewidths=0.2))
    ax.set_xlim(-0.6, L + 0.1)
    ax.set_ylim(-0.7, (L - 1) * math.sqrt(3) / 2 + 0.7)
    ax.set_aspect("equal")
    ax.set_xticks([])
    ax.set_yticks([])
    ax.set_title(title if title is not None else "fluid fraction %.3f" % a.mean())
    ax.legend(handles=[Patch(color=GEL_COLOUR, label="gel"),
                       Patch(color=FLUID_COLOUR, label="fluid")],
              loc="upper left", bbox_to_anchor=(1.0, 1.0), fontsize="small")
    return ax.figure
