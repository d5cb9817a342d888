"""The core's result columns as pandas DataFrames.

The columns keep the core's dtypes (int32 users and cells, int64 positions
and visits) and its row order, which is the command line's CSV report's.
"""
import numpy as np
import pandas as pd


def table(columns, names, ids=None):
    """A DataFrame of the core's arrays ``columns[name]`` in the order
    ``names``, and the column ``ids`` when given; the arrays become the
    frame's columns as they are, without a copy."""
    frame = {name: columns[name] for name in names}
    if ids is not None:
        frame["ids"] = ids
    return pd.DataFrame(frame, copy=False)


def ids_column(users, ids, numbers, group_size, objects):
    """The ``ids`` column of a report whose rows name ``users``: each row's
    user's ids, as a list of str.

    The ids of user u are those of objects u * group_size onwards, as many
    as the group size: for ``numbers`` (a TAB trace, or integer ids) the
    object numbers themselves in decimal, else the run's ids in order of
    first appearance, fewer for the last user when the ids run out (as the
    command line's CSV report lists them). All rows of one user share one
    list, so that a report of millions of visits costs a pointer a row.
    """
    lists = np.empty(int(users.max()) + 1 if users.size else 0, dtype=object)
    # The rows come user by user: each user's list is made once, at its first row.
    starts = users[np.r_[0, np.flatnonzero(np.diff(users)) + 1]] if users.size else users
    for user in starts.tolist():
        first = user * group_size
        if numbers:
            lists[user] = [str(o) for o in range(first, min(first + group_size, objects))]
        else:
            lists[user] = list(ids[first:first + group_size])
    return lists[users]
