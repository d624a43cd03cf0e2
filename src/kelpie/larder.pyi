"""File and project utilities: whole-file text, Markdown and JSON helpers,
YAML configuration loading, project-skeleton scaffolding with a console
dialogue, and URL download streamed to a file.

Every function blocks the calling thread and closes every file it opens.
"""

from typing import Any, Dict, List, SupportsIndex, SupportsInt, Union

from _typeshed import FileDescriptorOrPath, StrPath

__all__ = [
    "read_txt",
    "save_txt",
    "read_json",
    "load_config",
    "read_md",
    "write_md",
    "create_empty_file",
    "gen_catalogue",
    "download_url_content",
]

# The project skeleton that main() builds: file names (with a "."),
# directory names (without) and {directory: content} dictionaries.
CATALOGUES: List[Union[str, Dict[str, Any]]]

def read_json(path: str) -> Any:
    """The decoded JSON content of the file (read with the default encoding)."""

def read_txt(file_path: FileDescriptorOrPath, encoding: str = "utf-8") -> str:
    """The whole text of the file."""

def save_txt(contents: Union[List[Any], str], save_path: str) -> None:
    """Write a list as one line per element (str() of each, every line ended
    by a newline) or a str as it is, with the default encoding."""

def load_config(file_path: FileDescriptorOrPath, encoding: str = "utf-8") -> Any:
    """The content of a YAML file, as yaml.safe_load builds it (None for an
    empty file)."""

def read_md(md_path: FileDescriptorOrPath, encoding: Union[str, None] = "utf-8") -> str:
    """The whole text of the file (encoding None: the default encoding)."""

def write_md(content: str, md_path: FileDescriptorOrPath, encoding: Union[str, None] = "utf-8") -> None:
    """Replace the file's content with `content`."""

def create_empty_file(path: FileDescriptorOrPath, encoding: str = "utf-8") -> None:
    """Create the file, or truncate an existing one, leaving it empty."""

def initialize_env(path: FileDescriptorOrPath, encoding: str = "utf-8") -> None:
    """Create (or truncate) one empty file, like create_empty_file."""

def initialize_gitignore(path: FileDescriptorOrPath, encoding: str = "utf-8") -> None:
    """Create (or truncate) one empty file, like create_empty_file."""

def initialize_txt(path: FileDescriptorOrPath, encoding: str = "utf-8") -> None:
    """Create (or truncate) one empty file, like create_empty_file."""

def initialize_md(path: FileDescriptorOrPath, encoding: str = "utf-8") -> None:
    """Create (or truncate) one empty file, like create_empty_file."""

def initialize_sh(path: FileDescriptorOrPath, encoding: str = "utf-8") -> None:
    """Create (or truncate) one empty file, like create_empty_file."""

def initialize_py(path: FileDescriptorOrPath, encoding: str = "utf-8") -> None:
    """Create (or truncate) one empty file, like create_empty_file."""

def initialize_file(filepath: str) -> None:
    """Print the path and its file type, then create the empty file; a failure
    is printed, not raised."""

def initialize_catalogue(current_path: StrPath, catalogue: Union[List[Any], Dict[str, Any]]) -> None:
    """Create the directories and empty files that `catalogue` describes
    under `current_path`, printing the paths it handles."""

def main(name: str, dir_path: str = "") -> None:
    """Create the project skeleton `name` inside `dir_path` without asking."""

def gen_catalogue() -> None:
    """Ask for a project name, a confirmation ("y") and a location on the
    console, then create the project.  Any answer other than "y" to the
    confirmation raises SystemExit."""

def download_url_content(url: str, save_dir: str, chunk_size: Union[SupportsInt, SupportsIndex] = 8192) -> str:
    """GET `url` and stream its body into `save_dir`, in a file named after the
    last segment of the URL's path; return that file's path."""
