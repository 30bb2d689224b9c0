"""Type stub of the extension module merge_ipynb: the notebook merge git's driver calls."""

import json as json
import logging as logging
import os as os
import tempfile as tempfile
import uuid as uuid
from typing import Any as Any, Dict as Dict, List as List, Optional as Optional

import git as git
import jsondiff as jsondiff

__test__: Dict[str, str]

def _merge_source(
    g: git.cmd.Git,
    current: List[str],
    base: List[str],
    incoming: List[str],
    current_name: Optional[str] = ...,
    incoming_name: Optional[str] = ...,
) -> List[str]: ...

class Cell:
    """Data structure to represent a cell."""

    BASE: str
    CURRENT: str
    INCOMING: str
    _data: Dict[str, Any]
    _file_type: str
    def __init__(self, cell: Dict[str, Any], file_type: Optional[str]) -> None: ...
    @property
    def file_type(self) -> str:
        """The file type that contains the cell"""
    @property
    def data(self) -> Dict[str, Any]:
        """Cell dictionary"""
    @data.setter
    def data(self, value: Dict[str, Any]) -> None: ...
    @property
    def cell_id(self) -> Any:
        """Cell id of the cell"""
    @cell_id.setter
    def cell_id(self, value: Optional[str]) -> None: ...
    @property
    def source(self) -> Any:
        """Source code of the cell"""
    @source.setter
    def source(self, value: List[str]) -> None: ...
    @property
    def meta_data(self) -> Any:
        """Meta data of the cell"""
    @property
    def link_id(self) -> Any:
        """Link id of the cell"""
    @link_id.setter
    def link_id(self, value: Optional[str]) -> None: ...
    @property
    def name(self) -> Any:
        """Name of the cell. It has 'None' value when the cell is not a component"""
    @name.setter
    def name(self, value: Optional[str]) -> None: ...
    @property
    def parents(self) -> Any:
        """Parents information of the cell"""
    @parents.setter
    def parents(self, value: List[Dict[str, str]]) -> None: ...
    @property
    def comments(self) -> Any:
        """Comments of the cell"""
    def add_comment(self, comment: Dict[str, str]) -> None:
        """Add comment in the cell"""
    def add_conflict_mark(self) -> None:
        """Change name adding '<<< ' when current cell.
        Change name adding '>>> ' when incoming cell.
        """

def _cell_changed(cell0: Cell, cell1: Cell) -> Dict[str, Any]: ...
def merge_files(
    base_file_path: str, current_file_path: str, incoming_file_path: str, file_path: str
) -> None:
    """Ipython Notebook Merge Driver main"""
